// The protocol client's two audio paths:
// - one second of microphone audio (24,000 samples) from appendAudioBuffer
//   to the transport's send, beside the same event built through the JSON
//   library, which is what the hand-written builder replaces;
// - one 100 ms response delta (2,400 samples, Base64 in JSON) from the
//   arrival of the message to the delegate, beside the first build's handling
//   of it (JSON library document) and the floor under both (Base64 decode and
//   copy into samples).

#include "ReferenceClient.h"
#include "realtime/OpenAIWebSocketClient.h"
#include "realtime/OpenAIWebSocketClientInternals.h"
#include "utils/Base64.h"
#include "websocket/WebSocketSession.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using orvanta::extensions::openai::OpenAIWebSocketClient;
using orvanta::extensions::openai::OpenAIWebSocketClientDelegate;

// Takes the bytes as the real transport's send would be handed them.
class CountingTransport : public orvanta::websocket::WebSocketSession {
public:
    void send(const std::vector<uint8_t>& data, bool, unsigned long) override { bytes += data.size(); }
    void close(const std::vector<uint8_t>&) override {}
    size_t bytes = 0;
};

class SampleSink : public OpenAIWebSocketClientDelegate {
public:
    void onSessionCreated() override {}
    void onSessionDisconnected() override {}
    void onInputAudioTranscriptionDelta(const std::string&) override {}
    void onInputAudioTranscription(const std::string&) override {}
    void onError(const std::string&, const std::string&, const std::string&) override {}
    void onResponseAudioReceived(const std::vector<int16_t>& samples, const std::string&, int) override {
        received += samples.size();
        benchmark::DoNotOptimize(samples.data());
    }
    size_t received = 0;
};

std::vector<int16_t> tone(size_t count) {
    std::vector<int16_t> samples(count);
    for (size_t i = 0; i < count; ++i)
        samples[i] = static_cast<int16_t>((i * 2654435761u) >> 16);
    return samples;
}

struct ConnectedClient {
    ConnectedClient() {
        auto prepared = std::make_unique<OpenAIWebSocketClient::Internals>("gpt-realtime-2");
        auto scripted = std::make_unique<CountingTransport>();
        transport = scripted.get();
        prepared->attachTransport(std::move(scripted));
        internals = prepared.get();
        client = std::make_unique<OpenAIWebSocketClient>(std::move(prepared));
        const std::string created = R"({"type":"session.created","session":{"id":"sess_bench"}})";
        internals->onMessage(std::vector<uint8_t>(created.begin(), created.end()), true);
    }
    CountingTransport* transport = nullptr;
    OpenAIWebSocketClient::Internals* internals = nullptr;
    std::unique_ptr<OpenAIWebSocketClient> client;
};

void BM_AppendOneSecond(benchmark::State& state) {
    ConnectedClient c;
    const auto samples = tone(24000);
    for (auto _ : state)
        benchmark::DoNotOptimize(c.client->appendAudioBuffer(samples));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 48000);
    if (c.transport->bytes == 0)
        state.SkipWithError("nothing reached the transport");
}
BENCHMARK(BM_AppendOneSecond);

// The same event through a JSON value and its printer, for comparison.
void BM_AppendOneSecondViaJsonValue(benchmark::State& state) {
    ConnectedClient c;
    const auto samples = tone(24000);
    int32_t number = 0;
    for (auto _ : state) {
        std::vector<uint8_t> pcm(samples.size() * 2);
        std::memcpy(pcm.data(), samples.data(), pcm.size());
        nlohmann::json event = {{"event_id", "event-" + std::to_string(++number)},
                                {"type", "input_audio_buffer.append"},
                                {"audio", orvanta::base64::Base64::encode(pcm)}};
        const std::string text = event.dump();
        c.transport->send(std::vector<uint8_t>(text.begin(), text.end()), true, 104857600);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 48000);
}
BENCHMARK(BM_AppendOneSecondViaJsonValue);

std::string audioDeltaText(const std::vector<int16_t>& samples) {
    const std::string audio =
        orvanta::base64::Base64::encode(reinterpret_cast<const uint8_t*>(samples.data()), samples.size() * 2);
    return R"({"type":"response.output_audio.delta","event_id":"event_B","response_id":"resp_1",)"
           R"("item_id":"item_1","output_index":0,"content_index":0,"delta":")" +
           audio + "\"}";
}

// From the message as the transport hands it over to the samples in the
// delegate. The transport's message carries spare capacity for a parser's
// padding; the handler leaves it in place, so one message serves every round.
void BM_AudioDeltaToDelegate(benchmark::State& state) {
    ConnectedClient c;
    SampleSink sink;
    c.client->setDelegate(&sink);
    const std::string text = audioDeltaText(tone(2400));
    std::vector<uint8_t> message;
    message.reserve(text.size() + orvanta::websocket::WebSocketSession::messagePadding);
    message.assign(text.begin(), text.end());
    for (auto _ : state)
        c.transport->onMessageHandler(std::move(message), true);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    if (sink.received != static_cast<size_t>(state.iterations()) * 2400)
        state.SkipWithError("the delegate missed samples");
    c.client->setDelegate(nullptr);
}
BENCHMARK(BM_AudioDeltaToDelegate);

void BM_AudioDeltaFirstBuild(benchmark::State& state) {
    orvanta::extensions::openai::reference::ReferenceClient reference;
    SampleSink sink;
    reference.delegate = &sink;
    const std::string text = audioDeltaText(tone(2400));
    const std::vector<uint8_t> message(text.begin(), text.end());
    for (auto _ : state)
        reference.onMessage(message, true);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    if (sink.received != static_cast<size_t>(state.iterations()) * 2400)
        state.SkipWithError("the delegate missed samples");
}
BENCHMARK(BM_AudioDeltaFirstBuild);

// The floor under it: the same delta's Base64 decoded and copied into samples.
void BM_AudioDeltaFloor(benchmark::State& state) {
    const std::string text = audioDeltaText(tone(2400));
    const size_t start = text.find("\"delta\":\"") + 9;
    const std::string audio = text.substr(start, text.size() - start - 2);
    for (auto _ : state) {
        const std::vector<uint8_t> bytes = orvanta::base64::Base64::decode(audio);
        std::vector<int16_t> samples(bytes.size() / 2);
        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(int16_t));
        benchmark::DoNotOptimize(samples.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_AudioDeltaFloor);

} // namespace
