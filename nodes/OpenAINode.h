#pragma once

#include "OrvantaSDK/NodeTypeInfo.h"
#include "OrvantaSDK/OVAnyMap.h"
#include "OrvantaSDK/SingleBusAudioProcessorNode.h"
#include "realtime/OpenAIWebSocketClientDelegate.h"

#include <memory>
#include <string>
#include <vector>

namespace orvanta::extensions::openai {

// The voice conversation node ("OpenAI.Realtime"): microphone audio in, the
// service's spoken answer out, with barge-in, tool calls and transcripts as
// node events.
//
// Threads:
// - Construction, destruction, properties, actions and onGraphStart: host
//   threads. Actions never wait for the network or for another node thread.
// - setBusFormat: host thread, while the audio thread is not in process.
// - process: the host's audio thread; no lock, no allocation, no logging
//   except at the two edges of an input overflow.
// - Delegate callbacks: the node's session thread, except
//   onResponseAudioReceived, onResponseCreated, onResponseDone and
//   onInputAudioSpeechStarted, which run on the protocol client's I/O thread
//   to keep their order with the response audio.
// - Events are emitted from the node's session thread, never from the audio
//   thread or the client's I/O thread; a listener may call the node's
//   actions and setters, and may destroy the node (no listener is called
//   afterwards). So a delegate method that emits does so as its last step.
class OpenAINode : public SingleBusAudioProcessorNode, public OpenAIWebSocketClientDelegate {
public:
    explicit OpenAINode(const OVAnyMap& config);
    ~OpenAINode() override;

    static NodeTypeInfo getNodeTypeInfo();
    static OVAnyMap getAPIKeyConfiguration();

    void onGraphStart() override;

    bool setBusFormat(AudioBusFormat& in, AudioBusFormat& out) override;
    bool process(AudioBus& in, AudioBus& out) override;
    using SingleBusAudioProcessorNode::process;

    // Session lifecycle; any thread.
    void start();
    void scheduleSessionUpdate();
    void updateSession();
    void truncatePlayback();
    void sendAudioToOpenAI();

    // OpenAIWebSocketClientDelegate
    void onSessionCreated() override;
    void onSessionDisconnected() override;
    void onResponseCreated() override;
    void onResponseDone(const std::string& status) override;
    void onResponseAudioReceived(const std::vector<int16_t>& samples, const std::string& itemId,
                                 int contentIndex) override;
    void onInputAudioSpeechStarted() override;
    void onInputAudioTranscriptionDelta(const std::string& delta) override;
    void onInputAudioTranscription(const std::string& transcript) override;
    void onResponseAudioTranscriptionDelta(const std::string& delta) override;
    void onResponseAudioTranscription(const std::string& transcript) override;
    void onToolCall(const std::string& callId, const std::string& name, const std::string& argumentsJson) override;
    void onError(const std::string& type, const std::string& code, const std::string& message) override;

    struct Internals;

private:
    bool processInternal(AudioBus& in, AudioBus& out);
    void registerWithHost();

    std::unique_ptr<Internals> internals;
};

} // namespace orvanta::extensions::openai
