#include "nodes/OpenAITranscribeNode.h"

#include "OrvantaSDK/AudioBusList.h"
#include "OrvantaSDK/AudioGraphResampler.h"
#include "OrvantaSDK/Logger.h"
#include "extension/OpenAIExtension.h"
#include "nodes/InputAudioSender.h"
#include "nodes/SessionController.h"
#include "nodes/TypeDescription.h"

#include <mutex>

namespace orvanta::extensions::openai {

struct OpenAITranscribeNode::Internals {
    std::string apiKey;
    mutable std::mutex paramsMutex; // host threads write, the session thread reads
    std::string transcriptionLanguage;
    std::string transcriptionDelay = "low";

    std::unique_ptr<InputAudioSender> input;
    std::unique_ptr<AudioGraphResampler> resampler;
    std::unique_ptr<SessionController> session;
};

NodeTypeInfo OpenAITranscribeNode::getNodeTypeInfo() {
    using namespace description;
    NodeTypeInfo info("OpenAI", "RealtimeTranscribe", "OpenAI Transcribe Node",
                      "Streams audio to OpenAI's gpt-realtime-whisper model and receives real-time text "
                      "transcriptions.",
                      {"AI", "Voice"});
    info.addConfiguration("apiKey", getAPIKeyConfiguration());
    info.addConfiguration("inputChunkMs", inputChunkConfiguration());
    info.addProperty("transcriptionLanguage",
                     propertyEntry("string", "ISO 639-1 language code (e.g. \"en\"). Empty = auto-detect.", ""));
    OVAnyMap delay = propertyEntry(
        "string",
        "Latency/accuracy trade-off. Lower values produce faster partial results at the cost of accuracy.", "low");
    delay.set("options", options({"minimal", "low", "medium", "high", "xhigh"}));
    info.addProperty("transcriptionDelay", delay);

    info.addAction("commitAudioBuffer",
                   actionEntry("Commit the input audio buffer and request transcription. Required since "
                               "gpt-realtime-whisper does not support VAD."));
    info.addAction("clearInputBuffer", actionEntry("Clear the OpenAI input audio buffer without transcribing."));
    info.addAction("updateSession",
                   actionEntry("Update the current OpenAI transcription session with new parameters."));
    info.addAction("resetSession", actionEntry("Reset the current OpenAI transcription session."));

    info.addEvent("transcriptionDelta",
                  eventEntry("transcriptionDelta", "Emitted for each incremental chunk of transcription as it streams in.",
                             {{"delta", "Incremental transcription text chunk."}}));
    info.addEvent("transcription",
                  eventEntry("transcription", "Emitted when a transcription is complete.",
                             {{"transcript", "The full transcribed text from the input audio."}}));
    info.addEvent("sessionStarting",
                  eventEntry("sessionStarting",
                             "Emitted when a connection attempt to OpenAI begins. Fires on initial start and on every "
                             "automatic reconnect."));
    info.addEvent("sessionDisconnected",
                  eventEntry("sessionDisconnected",
                             "Emitted when the WebSocket session to OpenAI is closed. A reconnect is scheduled "
                             "automatically."));
    info.addEvent("error", eventEntry("error", "Emitted when OpenAI returns an error event over the WebSocket.",
                                      {{"type", "OpenAI error type (e.g. invalid_request_error)."},
                                       {"code", "OpenAI error code."},
                                       {"message", "Human-readable error message."}}));
    return info;
}

OVAnyMap OpenAITranscribeNode::getAPIKeyConfiguration() {
    return description::configurationEntry("string", "API Key", "Your OpenAI API key.", "");
}

OpenAITranscribeNode::OpenAITranscribeNode(const OVAnyMap& config)
    : SingleBusAudioSinkNode(config), internals(new Internals) {
    auto& in = *internals;
    unsigned int chunkMs = InputAudioSender::defaultChunkMs;
    for (const auto& [key, value] : config) {
        if (key == "apiKey")
            in.apiKey = value.convert<std::string>();
        else if (key == "transcriptionLanguage")
            in.transcriptionLanguage = value.convert<std::string>();
        else if (key == "transcriptionDelay")
            in.transcriptionDelay = value.convert<std::string>();
        else if (key == "inputChunkMs")
            chunkMs = InputAudioSender::chunkMsFromConfiguration(value, "[OpenAITranscribeNode]");
        else
            orvanta::Logger::error("[OpenAITranscribeNode] Unknown parameter: " + key);
    }
    if (in.apiKey.empty()) {
        if (auto* extension = OpenAIExtension::getInstance())
            in.apiKey = extension->getApiKey();
    }

    in.input = std::make_unique<InputAudioSender>(InputAudioSender::Texts{
        "[OpenAITranscribeNode] Input audio buffer full, dropping audio.",
        "[OpenAITranscribeNode] Input audio buffer has space again, resuming.",
        "[OpenAITranscribeNode] sendAudioToOpenAI: not connected, scheduling reconnect.",
        "[OpenAITranscribeNode] Failed to append audio buffer.",
        "[OpenAITranscribeNode] appendAudioBuffer failed, scheduling reconnect."},
        chunkMs);
    in.resampler = std::make_unique<AudioGraphResampler>(24000, 240);
    in.resampler->setNumberOfBuses(1, 0);
    in.resampler->setProcessCallback(
        [this](AudioBusList& inputs, AudioBusList&) { return consumeInternal(inputs[0]); });

    registerWithHost();

    SessionController::Hooks hooks;
    hooks.delegate = this;
    hooks.emitEvent = [this](const std::string& name, const OVAnyMap& payload) { emitEvent(name, payload); };
    hooks.tokenSessionConfig = [] {
        return std::string(
            R"({"audio":{"input":{"transcription":{"model":"gpt-realtime-whisper"}}},"type":"transcription"})");
    };
    hooks.updateSession = [this] { updateSession(); };
    hooks.sendAudio = [this] { sendAudioToOpenAI(); };
    hooks.senderPeriodMs = InputAudioSender::senderPeriodMs;
    hooks.senderWakeup = &in.input->getWakeSignal();
    in.session = std::make_unique<SessionController>(
        in.apiKey, TRANSCRIBE_MODEL,
        SessionController::Texts{"[OpenAITranscribeNode] Starting session.",
                                 "[OpenAITranscribeNode] No API key provided, getting ephemeral token from API.",
                                 "[OpenAITranscribeNode] Successfully obtained ephemeral token.",
                                 "[OpenAITranscribeNode] Failed to get ephemeral token: ",
                                 "[OpenAITranscribeNode] Retrying ephemeral token fetch.",
                                 "[OpenAITranscribeNode] Session attempt timed out, retrying in 3 seconds.",
                                 "[OpenAITranscribeNode] Session has no id, restarting in 3 seconds.",
                                 "[OpenAITranscribeNode] Sending audio failed, scheduling reconnect: "},
        std::move(hooks));
    start();
}

OpenAITranscribeNode::~OpenAITranscribeNode() {
    // Also from inside one of the node's own listeners, on its session thread.
    SessionController::destroy(internals->session);
}

void OpenAITranscribeNode::registerWithHost() {
    const NodeTypeInfo info = getNodeTypeInfo();
    registerConfiguration("apiKey", info.getConfiguration("apiKey"), OVAny(internals->apiKey));
    registerConfiguration("inputChunkMs", info.getConfiguration("inputChunkMs"),
                          OVAny(internals->input->getChunkMs()));
    for (auto [name, member] : {std::pair{"transcriptionLanguage", &Internals::transcriptionLanguage},
                                std::pair{"transcriptionDelay", &Internals::transcriptionDelay}}) {
        registerProperty(
            name, info.getProperty(name),
            OVAny::Getter([this, member = member] {
                std::lock_guard<std::mutex> lock(internals->paramsMutex);
                return OVAny(internals.get()->*member);
            }),
            OVAny::Setter([this, member = member](const OVAny& value) {
                std::string converted = value.convert<std::string>(); // throws before anything changes
                {
                    std::lock_guard<std::mutex> lock(internals->paramsMutex);
                    internals.get()->*member = std::move(converted);
                }
                scheduleSessionUpdate();
            }));
    }

    // Both go through the sender, in order with the audio: a commit first
    // appends everything captured before it, a clear drops it.
    registerAction("commitAudioBuffer", info.getAction("commitAudioBuffer"), [this](const OVAnyMap&) -> Result<OVAny> {
        auto client = internals->session->client();
        if (!client || !client->hasActiveSession())
            return Error("Failed to commit audio buffer.");
        internals->input->requestCommit();
        return OVAny();
    });
    registerAction("clearInputBuffer", info.getAction("clearInputBuffer"), [this](const OVAnyMap&) -> Result<OVAny> {
        auto client = internals->session->client();
        if (!client || !client->hasActiveSession())
            return Error("Failed to clear input audio buffer.");
        internals->input->requestClear(true);
        return OVAny();
    });
    registerAction("updateSession", info.getAction("updateSession"), [this](const OVAnyMap&) -> Result<OVAny> {
        internals->session->requestSessionUpdate();
        return OVAny();
    });
    registerAction("resetSession", info.getAction("resetSession"), [this](const OVAnyMap&) -> Result<OVAny> {
        start();
        return OVAny();
    });

    for (const char* name : {"transcriptionDelta", "transcription", "sessionStarting", "sessionDisconnected", "error"})
        registerEvent(name, info.getEvent(name));
}

void OpenAITranscribeNode::start() { internals->session->start(); }

void OpenAITranscribeNode::onGraphStart() { start(); }

void OpenAITranscribeNode::scheduleSessionUpdate() { internals->session->scheduleSessionUpdate(); }

void OpenAITranscribeNode::updateSession() {
    auto client = internals->session->client();
    if (!client)
        return;
    UpdateSessionClientEvent event;
    event.sessionType = "transcription";
    {
        std::lock_guard<std::mutex> lock(internals->paramsMutex);
        event.transcriptionLanguage = internals->transcriptionLanguage;
        event.transcriptionDelay = internals->transcriptionDelay;
    }
    client->updateSession(event);
}

void OpenAITranscribeNode::onSessionCreated() {
    orvanta::Logger::info("[OpenAITranscribeNode] Session created with OpenAI.");
    internals->session->sessionCreated();
}

void OpenAITranscribeNode::onSessionDisconnected() {
    orvanta::Logger::info("[OpenAITranscribeNode] Disconnected from OpenAI, reconnecting in 3 seconds...");
    internals->session->sessionDisconnected();
}

void OpenAITranscribeNode::onInputAudioTranscriptionDelta(const std::string& delta) {
    emitEvent("transcriptionDelta", OVAnyMap{{"delta", delta}});
}

void OpenAITranscribeNode::onInputAudioTranscription(const std::string& transcript) {
    orvanta::Logger::info("[OpenAITranscribeNode] Transcription: " + transcript);
    emitEvent("transcription", OVAnyMap{{"transcript", transcript}});
}

void OpenAITranscribeNode::onError(const std::string& type, const std::string& code, const std::string& message) {
    orvanta::Logger::error("[OpenAITranscribeNode] Error - type: " + type + ", code: " + code +
                           ", message: " + message);
    emitEvent("error", OVAnyMap{{"type", type}, {"code", code}, {"message", message}});
}

bool OpenAITranscribeNode::setBusFormat(AudioBusFormat& format) {
    if (format.getNumberOfChannels() == 1)
        return true;
    orvanta::Logger::error("[OpenAITranscribeNode] Only mono audio is supported.");
    return false;
}

bool OpenAITranscribeNode::consume(AudioBus& bus) {
    AudioBusList inputs;
    AudioBusList outputs;
    inputs.push_back(AudioBus(bus.getBuffer()));
    return internals->resampler->process(inputs, outputs);
}

bool OpenAITranscribeNode::consumeInternal(AudioBus& bus) {
    AudioBuffer<float>& buffer = *bus.getBuffer();
    internals->input->capture(buffer.getReadPointer(0), static_cast<unsigned int>(buffer.getNumberOfFrames()));
    return true;
}

void OpenAITranscribeNode::sendAudioToOpenAI() { internals->input->run(*internals->session); }

} // namespace orvanta::extensions::openai
