// Heap cost of one large server message in the protocol client: the peak of
// live heap bytes while a message of N bytes is created, handed to the client
// through its transport callback and dispatched, relative to N; and what the
// client still holds once the message is gone. The first build's handling
// (the fuzzer's reference) is measured the same way beside it.
//
// Every allocation is counted (malloc and friends, which operator new and the
// parsers use), so the figure covers whatever the client does with the text.
// Not meaningful under a sanitizer, which owns the allocator.

#include "ReferenceClient.h"
#include "realtime/OpenAIWebSocketClient.h"
#include "realtime/OpenAIWebSocketClientInternals.h"
#include "utils/Base64.h"
#include "websocket/WebSocketSession.h"

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

std::atomic<long long> liveBytes{0};
std::atomic<long long> peakBytes{0};

void added(void* p) {
    if (p == nullptr)
        return;
    const long long now = liveBytes.fetch_add(static_cast<long long>(malloc_usable_size(p))) +
                          static_cast<long long>(malloc_usable_size(p));
    long long peak = peakBytes.load();
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
}

void removed(void* p) {
    if (p != nullptr)
        liveBytes.fetch_sub(static_cast<long long>(malloc_usable_size(p)));
}

} // namespace

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) {
    void* p = __libc_malloc(size);
    added(p);
    return p;
}
void* calloc(std::size_t n, std::size_t size) {
    void* p = __libc_calloc(n, size);
    added(p);
    return p;
}
void* realloc(void* old, std::size_t size) {
    removed(old);
    void* p = __libc_realloc(old, size);
    added(p != nullptr ? p : (size != 0 ? old : nullptr));
    return p;
}
void* memalign(std::size_t alignment, std::size_t size) {
    void* p = __libc_memalign(alignment, size);
    added(p);
    return p;
}
void* aligned_alloc(std::size_t alignment, std::size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    void* p = memalign(alignment, size);
    if (p == nullptr)
        return 12; // ENOMEM
    *out = p;
    return 0;
}
void free(void* p) {
    removed(p);
    __libc_free(p);
}
}

namespace {

using orvanta::extensions::openai::OpenAIWebSocketClient;
using orvanta::extensions::openai::OpenAIWebSocketClientDelegate;

class SilentTransport : public orvanta::websocket::WebSocketSession {
public:
    void send(const std::vector<uint8_t>&, bool, unsigned long) override {}
    void close(const std::vector<uint8_t>&) override {}
};

class Sink : public OpenAIWebSocketClientDelegate {
public:
    void onSessionCreated() override {}
    void onSessionDisconnected() override {}
    void onInputAudioTranscriptionDelta(const std::string&) override {}
    void onInputAudioTranscription(const std::string&) override {}
    void onError(const std::string&, const std::string&, const std::string&) override {}
    void onResponseAudioReceived(const std::vector<int16_t>& samples, const std::string&, int) override {
        received += samples.size();
    }
    void onResponseAudioTranscription(const std::string& transcript) override { received += transcript.size(); }
    void onToolCall(const std::string&, const std::string&, const std::string& args) override { received += args.size(); }
    size_t received = 0;
};

// `head` + a body of filler up to `total` bytes + `tail`.
std::string shaped(const std::string& head, const std::string& filler, const std::string& tail, size_t total) {
    std::string text = head;
    while (text.size() + filler.size() + tail.size() <= total)
        text += filler;
    return text + tail;
}

struct Shape {
    const char* name;
    std::string text;
};

std::vector<Shape> shapes(size_t total) {
    std::vector<Shape> out;
    out.push_back({"audio delta",
                   shaped(R"({"type":"response.output_audio.delta","event_id":"event_B","response_id":"resp_1",)"
                          R"("item_id":"item_1","output_index":0,"content_index":0,"delta":")",
                          "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v", "\"}", total)});
    out.push_back({"transcript",
                   shaped(R"({"type":"response.output_audio_transcript.done","transcript":")",
                          "the quick brown fox jumps over the lazy dog, ", "\"}", total)});
    out.push_back({"numbers",
                   shaped(R"({"type":"rate_limits.updated","rate_limits":[)", "1,", "1]}", total)});
    out.push_back({"tool arguments",
                   shaped(R"({"type":"response.output_item.done","item":{"type":"function_call","call_id":"c1",)"
                          R"("name":"f","arguments":"[)",
                          R"({\"city\":\"Oslo\",\"days\":3},)", "0]\"}}", total)});
    return out;
}

} // namespace

int main() {
    const size_t total = 16 * 1024 * 1024 - 1024; // just under the transport's message cap
    auto prepared = std::make_unique<OpenAIWebSocketClient::Internals>("gpt-realtime-2");
    auto owned = std::make_unique<SilentTransport>();
    SilentTransport* transport = owned.get();
    prepared->attachTransport(std::move(owned));
    OpenAIWebSocketClient client(std::move(prepared));
    Sink sink;
    client.setDelegate(&sink);
    const std::string created = R"({"type":"session.created","session":{"id":"sess_mem"}})";
    transport->onMessageHandler(std::vector<uint8_t>(created.begin(), created.end()), true);

    orvanta::extensions::openai::reference::ReferenceClient firstBuild;
    firstBuild.delegate = &sink;

    std::printf("message of %zu bytes (N), heap counted through malloc:\n", total);
    for (const Shape& shape : shapes(total)) {
        for (bool reference : {true, false}) {
            const long long before = liveBytes.load();
            peakBytes.store(before);
            {
                // As the transport hands it over: the assembled message, with
                // room for the parser's padding.
                std::vector<uint8_t> message;
                message.reserve(shape.text.size() + orvanta::websocket::WebSocketSession::messagePadding);
                message.assign(shape.text.begin(), shape.text.end());
                if (reference)
                    firstBuild.onMessage(message, true);
                else
                    transport->onMessageHandler(std::move(message), true);
            }
            const long long added = peakBytes.load() - before;
            const long long kept = liveBytes.load() - before;
            std::printf("  %-15s %-11s peak added %6.1f MB = %5.2f N, kept afterwards %6.2f MB\n", shape.name,
                        reference ? "first build" : "client", static_cast<double>(added) / 1e6,
                        static_cast<double>(added) / static_cast<double>(total), static_cast<double>(kept) / 1e6);
        }
    }
    client.setDelegate(nullptr);
    return sink.received == 0 ? 1 : 0;
}
