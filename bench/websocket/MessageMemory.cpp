// Peak heap that the transport adds while one large message travels from the
// socket to the owner's handler: every operator new of the process is
// counted, the peer's frame is encoded before the count starts, and the
// handler moves the message out, as the protocol client does.
//
//   websocket_message_memory [payload bytes]   (default 16 MiB - 1)
#include "websocket/WebSocketClient.h"
#include "websocket/support/ScriptedPeer.h"

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

namespace {

std::atomic<long long> current{0};
std::atomic<long long> peak{0};

void* counted(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    const long long now = current += static_cast<long long>(malloc_usable_size(p));
    long long seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
    return p;
}

void uncounted(void* p) {
    if (!p) return;
    current -= static_cast<long long>(malloc_usable_size(p));
    std::free(p);
}

} // namespace

void* operator new(std::size_t size) { return counted(size); }
void* operator new[](std::size_t size) { return counted(size); }
void operator delete(void* p) noexcept { uncounted(p); }
void operator delete[](void* p) noexcept { uncounted(p); }
void operator delete(void* p, std::size_t) noexcept { uncounted(p); }
void operator delete[](void* p, std::size_t) noexcept { uncounted(p); }

int main(int argc, char** argv) {
    using namespace orvanta::websocket;
    const std::size_t size = argc > 1 ? std::stoul(argv[1]) : (16u << 20) - 1;

    test::ScriptedPeer peer;
    WebSocketClient client(peer.url(), {}, 600000, 600000, "");
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    std::vector<uint8_t> kept;
    std::size_t spare = 0;
    client.onOpenHandler = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    };
    client.onMessageHandler = [&](std::vector<uint8_t>&& data, bool) {
        std::lock_guard<std::mutex> lock(mutex);
        kept = std::move(data);
        spare = kept.capacity() - kept.size();
        changed.notify_all();
    };
    client.start();
    if (peer.handshake().empty()) return 1;
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return open; });
    }
    if (!peer.readFrame()) return 1;  // the first heartbeat ping

    const auto frame = test::ScriptedPeer::encodeFrame(0x1, std::vector<uint8_t>(size, 'x'));
    const long long before = current.load();
    peak = before;
    const auto start = std::chrono::steady_clock::now();
    if (!peer.sendRaw(frame)) return 1;
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return kept.size() == size; });
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const long long added = peak.load() - before;
    std::printf("message %zu bytes: peak heap added %lld bytes (%.2fx the message), spare capacity %zu, %.1f ms\n",
                size, added, static_cast<double>(added) / static_cast<double>(size), spare, ms);
    return 0;
}
