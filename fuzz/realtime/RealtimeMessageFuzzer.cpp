// Arbitrary text through the protocol client's message path (bound check,
// parse, dispatch, session mirror, audio decoding), with a delegate that
// looks at everything it is given. After each message the client also
// builds and tries to send a few events, so state left behind by hostile
// input is exercised too. Any escaping exception aborts the run.

#include "OrvantaSDK/Logger.h"
#include "realtime/OpenAIWebSocketClientInternals.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

using orvanta::extensions::openai::OpenAIWebSocketClient;
using orvanta::extensions::openai::OpenAIWebSocketClientDelegate;

class RecordingDelegate : public OpenAIWebSocketClientDelegate {
public:
    void onSessionCreated() override { ++calls; }
    void onSessionDisconnected() override { ++calls; }
    void onInputAudioTranscriptionDelta(const std::string& delta) override { touch(delta); }
    void onInputAudioTranscription(const std::string& transcript) override { touch(transcript); }
    void onError(const std::string& type, const std::string& code, const std::string& message) override {
        touch(type + code + message);
    }
    void onResponseCreated() override { ++calls; }
    void onResponseDone(const std::string& status) override { touch(status); }
    void onResponseAudioReceived(const std::vector<int16_t>& samples, const std::string& itemId,
                                 int contentIndex) override {
        for (int16_t s : samples)
            checksum += static_cast<uint16_t>(s);
        checksum += static_cast<unsigned>(contentIndex);
        touch(itemId);
    }
    void onInputAudioSpeechStarted() override { ++calls; }
    void onResponseAudioTranscriptionDelta(const std::string& delta) override { touch(delta); }
    void onResponseAudioTranscription(const std::string& transcript) override { touch(transcript); }
    void onToolCall(const std::string& callId, const std::string& name, const std::string& args) override {
        touch(callId + name + args);
    }

    size_t calls = 0;
    unsigned checksum = 0;

private:
    void touch(const std::string& text) {
        ++calls;
        for (char c : text)
            checksum += static_cast<unsigned char>(c);
    }
};

struct Harness {
    Harness() : internals("gpt-realtime-2") {
        // Debug level with a sink that reads every line, so that the log
        // texts (pretty-printed sessions, invalid objects) are built too.
        orvanta::Logger::setLevel(orvanta::Logger::Level::Debug);
        orvanta::Logger::setSink([this](orvanta::Logger::Level, const std::string& line) { logBytes += line.size(); });
        internals.setDelegate(&delegate);
    }
    RecordingDelegate delegate;
    OpenAIWebSocketClient::Internals internals;
    size_t logBytes = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* harness = new Harness(); // lives for the whole run
    auto& internals = harness->internals;
    internals.onMessage(std::vector<uint8_t>(data, data + size), true);
    if (internals.hasActiveSession()) {
        internals.cancelResponse();
        internals.appendAudioBuffer({1, 2, 3});
    }
    if (size > 0 && data[0] == 'X')
        internals.onClose(); // start over with no session, now and then
    return 0;
}
