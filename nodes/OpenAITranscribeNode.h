#pragma once

#include "OrvantaSDK/NodeTypeInfo.h"
#include "OrvantaSDK/OVAnyMap.h"
#include "OrvantaSDK/SingleBusAudioSinkNode.h"
#include "realtime/OpenAIWebSocketClientDelegate.h"

#include <memory>
#include <string>

namespace orvanta::extensions::openai {

// The transcription node ("OpenAI.RealtimeTranscribe"): a sink that streams
// mono audio to the service's transcription model and reports the text as
// "transcriptionDelta" and "transcription" events.
//
// Threads: as OpenAINode. consume runs on the host's audio thread and takes
// no lock and allocates nothing; every delegate callback and every event runs
// on the node's session thread. A listener may destroy the node.
class OpenAITranscribeNode : public SingleBusAudioSinkNode, public OpenAIWebSocketClientDelegate {
public:
    static constexpr const char* TRANSCRIBE_MODEL = "gpt-realtime-whisper";

    explicit OpenAITranscribeNode(const OVAnyMap& config);
    ~OpenAITranscribeNode() override;

    static NodeTypeInfo getNodeTypeInfo();
    static OVAnyMap getAPIKeyConfiguration();

    void onGraphStart() override;

    bool setBusFormat(AudioBusFormat& format) override;
    bool consume(AudioBus& bus) override;

    // Session lifecycle; any thread.
    void start();
    void scheduleSessionUpdate();
    void updateSession();
    void sendAudioToOpenAI();

    // OpenAIWebSocketClientDelegate
    void onSessionCreated() override;
    void onSessionDisconnected() override;
    void onInputAudioTranscriptionDelta(const std::string& delta) override;
    void onInputAudioTranscription(const std::string& transcript) override;
    void onError(const std::string& type, const std::string& code, const std::string& message) override;

    struct Internals;

private:
    bool consumeInternal(AudioBus& bus);
    void registerWithHost();

    std::unique_ptr<Internals> internals;
};

} // namespace orvanta::extensions::openai
