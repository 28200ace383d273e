#include "nodes/OpenAINode.h"

#include "OrvantaSDK/AudioBusList.h"
#include "OrvantaSDK/AudioGraphResampler.h"
#include "OrvantaSDK/Logger.h"
#include "extension/OpenAIExtension.h"
#include "nodes/AudioQueue.h"
#include "nodes/InputAudioSender.h"
#include "nodes/SessionController.h"
#include "nodes/TypeDescription.h"
#include "utils/Conversion.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>

namespace orvanta::extensions::openai {

namespace {
constexpr int serviceRate = 24000;
constexpr unsigned int outputCapacity = 1440000; // 60 s at 24 kHz
constexpr unsigned int playbackThreshold = 12001; // more than 0.5 s buffered
// Response audio goes into the output queue in pieces of this size, converted
// on the way, so a delta of any length needs no buffer of its own.
constexpr unsigned int conversionPiece = 1024;

} // namespace

struct OpenAINode::Internals {
    // Session parameters: written by host threads (setters), read by the
    // session thread (updates). Fixed after construction: apiKey and model.
    std::string apiKey;
    std::string model = "gpt-realtime-2";
    mutable std::mutex paramsMutex;
    std::string voice = "cedar";
    std::string instructions;
    std::string transcriptionModel = "gpt-4o-mini-transcribe";
    float speed = 1.0f;
    std::string turnDetection = "server_vad";
    std::string noiseReduction = "none";
    std::optional<OVAnyVector> tools;
    std::string toolChoice = "auto";

    // Audio road.
    std::unique_ptr<InputAudioSender> input;
    AudioQueue outputBuffer{outputCapacity};
    AudioGraphResampler resampler{serviceRate, 240};
    std::atomic<bool> outputPaused{false};
    bool playbackStarted = false; // audio thread only
    // Output queue position up to which audio plays without waiting for the
    // start threshold: the end of a response that is done.
    std::atomic<uint64_t> releasedUntil{0};
    // Output queue position just past the last sample played.
    std::atomic<uint64_t> heardUntil{0};

    // Which response item each queued sample belongs to, for truncation: the
    // output queue positions of each item's audio since the response began.
    // Written on the client's I/O thread, read by whoever truncates.
    struct Segment {
        std::string itemId;
        int contentIndex;
        uint64_t begin; // output queue positions, [begin, end)
        uint64_t end;
    };
    std::mutex itemMutex;
    std::string currentItemId; // the item whose audio arrived last
    std::vector<Segment> segments;

    std::unique_ptr<SessionController> session;
};

NodeTypeInfo OpenAINode::getNodeTypeInfo() {
    using namespace description;
    NodeTypeInfo info("OpenAI", "Realtime", "OpenAI Node", "Sends audio data to OpenAI's API and receives audio responses.",
                      {"AI", "Voice"});
    info.addConfiguration("apiKey", getAPIKeyConfiguration());
    info.addConfiguration("inputChunkMs", inputChunkConfiguration());

    auto prop = [&](const char* name, const char* type, const char* text, const OVAny& def) {
        info.addProperty(name, propertyEntry(type, text, def));
    };
    prop("instructions", "string", "Instructions for the AI voice.", "");
    {
        OVAnyMap speed = propertyEntry("float", "Speech speed multiplier. 1.0 is normal speed.", 1.0f);
        speed.set("min", 0.5f);
        speed.set("max", 1.5f);
        info.addProperty("speed", speed);
    }
    auto optionProp = [&](const char* name, const char* text, const char* def, OVAnyVector opts) {
        OVAnyMap entry = propertyEntry("string", text, def);
        entry.set("options", opts);
        info.addProperty(name, entry);
    };
    optionProp("turnDetection",
               "Turn detection mode. \"none\" requires manual commitAudioBuffer calls; \"server_vad\" lets OpenAI "
               "detect turn end automatically.",
               "server_vad", options({"none", "server_vad", "semantic_vad"}));
    optionProp("noiseReduction",
               "Input audio noise reduction. \"near_field\" for close mic / headset, \"far_field\" for laptop / "
               "conference mic, \"none\" to disable.",
               "none", options({"none", "near_field", "far_field"}));
    optionProp("transcriptionModel",
               "Model used to transcribe input audio. \"gpt-realtime-whisper\" provides higher accuracy alongside "
               "the voice-agent response.",
               "gpt-4o-mini-transcribe",
               options({"gpt-4o-mini-transcribe", "gpt-4o-transcribe", "gpt-realtime-whisper"}));
    optionProp("voice",
               "The voice to use for the AI responses. Changing the voice starts a new session, dropping the extant "
               "context.",
               "cedar",
               options({"alloy", "ash", "ballad", "cedar", "coral", "echo", "marin", "sage", "shimmer", "verse"}));
    prop("tools", "object", "Array of OpenAI tool definition objects.", OVAnyVector());
    optionProp("toolChoice", "Tool choice mode: \"auto\", \"none\", or \"required\".", "auto",
               options({"auto", "none", "required"}));

    info.addAction("createResponse",
                   actionEntry("Request a response. With \"text\", sends it as a user message; without, resumes "
                               "generation (e.g. after a tool result).",
                               {{"text", "The message to send to OpenAI.", true}}));
    info.addAction("updateSession", actionEntry("Update the current OpenAI session with new parameters."));
    info.addAction("resetSession", actionEntry("Reset the current OpenAI session."));
    info.addAction("commitAudioBuffer",
                   actionEntry("Commit the input audio buffer and request a response. Use when turnDetection is "
                               "\"none\"."));
    info.addAction("cancelResponse", actionEntry("Cancel the current OpenAI response."));
    info.addAction("submitToolResult",
                   actionEntry("Return a tool call result to OpenAI.",
                               {{"callId", "The tool call id from the toolCall event.", false},
                                {"outputJson", "The tool result as a JSON string.", false}}));
    info.addAction("submitToolError",
                   actionEntry("Return a tool call error to OpenAI.",
                               {{"callId", "The tool call id from the toolCall event.", false},
                                {"errorJson", "The error as a JSON string.", false}}));
    info.addAction("truncateResponse",
                   actionEntry("Tell OpenAI how much of the current assistant audio the user actually heard, and "
                               "stop local playback. Use this in local-VAD mode when the host detects user "
                               "barge-in. In server-VAD mode the node sends this automatically on "
                               "input_audio_buffer.speech_started."));
    info.addAction("clearOutputBuffer", actionEntry("Clear local output audio buffer."));
    info.addAction("clearInputBuffer", actionEntry("Clear the OpenAI's (cloud) input audio buffer."));
    info.addAction("pauseOutput", actionEntry("Pause the playback of response audio without clearing buffers."));
    info.addAction("resumeOutput", actionEntry("Resume the playback of response audio."));

    info.addEvent("inputTranscriptionDelta",
                  eventEntry("inputTranscriptionDelta",
                             "Emitted for each incremental chunk of input audio transcription as it streams in.",
                             {{"delta", "Incremental transcription text chunk."}}));
    info.addEvent("inputTranscription",
                  eventEntry("inputTranscription", "Emitted when input audio transcription is complete.",
                             {{"transcript", "The full transcribed text from the input audio."}}));
    info.addEvent("sessionStarting",
                  eventEntry("sessionStarting",
                             "Emitted when a connection attempt to OpenAI begins. Fires on initial start and on every "
                             "automatic reconnect."));
    info.addEvent("sessionDisconnected",
                  eventEntry("sessionDisconnected",
                             "Emitted when the WebSocket session to OpenAI is closed. A reconnect is scheduled "
                             "automatically."));
    info.addEvent("responseCreated", eventEntry("responseCreated", "Emitted when OpenAI starts a new response."));
    info.addEvent("responseDone",
                  eventEntry("responseDone", "Emitted when OpenAI finishes a response.",
                             {{"status", "Final response status (completed, cancelled, failed, incomplete)."}}));
    info.addEvent("toolCall", eventEntry("toolCall", "Emitted when the model requests a tool call.",
                                         {{"callId", "The tool call id; pass to submitToolResult."},
                                          {"name", "The tool name."},
                                          {"argumentsJson", "The tool arguments as a JSON string."}}));
    info.addEvent("error", eventEntry("error", "Emitted when OpenAI returns an error event over the WebSocket.",
                                      {{"type", "OpenAI error type (e.g. invalid_request_error)."},
                                       {"code", "OpenAI error code."},
                                       {"message", "Human-readable error message."}}));
    info.addEvent("responseTranscriptionDelta",
                  eventEntry("responseTranscriptionDelta",
                             "Emitted for each incremental chunk of response audio transcription as it streams in.",
                             {{"delta", "Incremental transcription text chunk."}}));
    info.addEvent("responseTranscription",
                  eventEntry("responseTranscription", "Emitted when response audio transcription is complete.",
                             {{"transcript", "The full transcribed text from the response audio."}}));
    return info;
}

OVAnyMap OpenAINode::getAPIKeyConfiguration() {
    return description::configurationEntry("string", "API Key", "Your OpenAI API key.", "");
}

OpenAINode::OpenAINode(const OVAnyMap& config) : SingleBusAudioProcessorNode(config), internals(new Internals) {
    auto& in = *internals;
    unsigned int chunkMs = InputAudioSender::defaultChunkMs;
    for (const auto& [key, value] : config) {
        if (key == "model")
            in.model = value.convert<std::string>();
        else if (key == "voice")
            in.voice = value.convert<std::string>();
        else if (key == "instructions")
            in.instructions = value.convert<std::string>();
        else if (key == "transcriptionModel")
            in.transcriptionModel = value.convert<std::string>();
        else if (key == "turnDetection")
            in.turnDetection = value.convert<std::string>();
        else if (key == "noiseReduction")
            in.noiseReduction = value.convert<std::string>();
        else if (key == "toolChoice")
            in.toolChoice = value.convert<std::string>();
        else if (key == "apiKey")
            in.apiKey = value.convert<std::string>();
        else if (key == "speed")
            in.speed = value.convert<float>();
        else if (key == "tools")
            in.tools = value.convert<OVAnyVector>();
        else if (key == "inputChunkMs")
            chunkMs = InputAudioSender::chunkMsFromConfiguration(value, "[OpenAINode]");
        else
            orvanta::Logger::error("[OpenAINode] Unknown parameter: " + key);
    }
    if (in.apiKey.empty()) {
        if (auto* extension = OpenAIExtension::getInstance())
            in.apiKey = extension->getApiKey();
    }

    in.input = std::make_unique<InputAudioSender>(InputAudioSender::Texts{
        "[OpenAINode] Input audio buffer is full, started dropping audio data.",
        "[OpenAINode] Input audio buffer has space again, resuming audio data sending.",
        "[OpenAINode] sendAudioToOpenAI: not connected and no retry pending, scheduling reconnect.",
        "[OpenAINode] Failed to append audio buffer to OpenAI client.",
        "[OpenAINode] appendAudioBuffer failed, scheduling reconnect."},
        chunkMs);
    in.segments.reserve(8);
    in.resampler.setNumberOfBuses(1, 1);
    in.resampler.setProcessCallback([this](AudioBusList& inputs, AudioBusList& outputs) {
        return processInternal(inputs[0], outputs[0]);
    });

    registerWithHost();

    SessionController::Hooks hooks;
    hooks.delegate = this;
    hooks.inlineResponseAudio = true;
    hooks.inlineResponseCreated = true;
    hooks.inlineSpeechStarted = true;
    hooks.inlineResponseDone = true;
    hooks.senderPeriodMs = InputAudioSender::senderPeriodMs;
    hooks.senderWakeup = &in.input->getWakeSignal();
    hooks.emitEvent = [this](const std::string& name, const OVAnyMap& payload) { emitEvent(name, payload); };
    hooks.tokenSessionConfig = [this] {
        return nlohmann::json{{"type", "realtime"}, {"model", internals->model}}.dump();
    };
    hooks.updateSession = [this] { updateSession(); };
    hooks.sendAudio = [this] { sendAudioToOpenAI(); };
    in.session = std::make_unique<SessionController>(
        in.apiKey, in.model,
        SessionController::Texts{"[OpenAINode] Starting session.",
                                 "[OpenAINode] No API key provided, getting ephemeral token from API.",
                                 "[OpenAINode] Successfully obtained ephemeral token from API.",
                                 "[OpenAINode] Failed to get ephemeral token from API: ",
                                 "[OpenAINode] Retrying to get ephemeral token from API.",
                                 "[OpenAINode] Session attempt timed out, retrying in 3 seconds.",
                                 "[OpenAINode] Session has no id, restarting in 3 seconds.",
                                 "[OpenAINode] Sending audio failed, scheduling reconnect: "},
        std::move(hooks));
    start();
}

OpenAINode::~OpenAINode() {
    // Before any member goes: no session thread, client, timer or token
    // callback reaches this node afterwards. Also from inside one of the
    // node's own listeners, on its session thread.
    SessionController::destroy(internals->session);
}

void OpenAINode::registerWithHost() {
    auto& in = *internals;
    const NodeTypeInfo info = getNodeTypeInfo();
    registerConfiguration("apiKey", info.getConfiguration("apiKey"), OVAny(in.apiKey));
    registerConfiguration("inputChunkMs", info.getConfiguration("inputChunkMs"), OVAny(in.input->getChunkMs()));

    auto stringProperty = [&](const char* name, std::string Internals::*member, bool restarts) {
        registerProperty(
            name, info.getProperty(name),
            OVAny::Getter([this, member] {
                std::lock_guard<std::mutex> lock(internals->paramsMutex);
                return OVAny(internals.get()->*member);
            }),
            OVAny::Setter([this, member, restarts](const OVAny& value) {
                std::string converted = value.convert<std::string>(); // throws before anything changes
                {
                    std::lock_guard<std::mutex> lock(internals->paramsMutex);
                    internals.get()->*member = std::move(converted);
                }
                if (restarts)
                    start();
                else
                    scheduleSessionUpdate();
            }));
    };
    stringProperty("instructions", &Internals::instructions, false);
    registerProperty(
        "speed", info.getProperty("speed"), OVAny::Getter([this] {
            std::lock_guard<std::mutex> lock(internals->paramsMutex);
            return OVAny(internals->speed);
        }),
        OVAny::Setter([this](const OVAny& value) {
            const float converted = value.convert<float>();
            {
                std::lock_guard<std::mutex> lock(internals->paramsMutex);
                internals->speed = converted;
            }
            scheduleSessionUpdate();
        }));
    stringProperty("turnDetection", &Internals::turnDetection, false);
    stringProperty("noiseReduction", &Internals::noiseReduction, false);
    stringProperty("transcriptionModel", &Internals::transcriptionModel, false);
    stringProperty("voice", &Internals::voice, true);
    registerProperty(
        "tools", info.getProperty("tools"), OVAny::Getter([this] {
            std::lock_guard<std::mutex> lock(internals->paramsMutex);
            return OVAny(internals->tools ? *internals->tools : OVAnyVector());
        }),
        OVAny::Setter([this](const OVAny& value) {
            OVAnyVector converted = value.convert<OVAnyVector>();
            {
                std::lock_guard<std::mutex> lock(internals->paramsMutex);
                internals->tools = std::move(converted);
            }
            scheduleSessionUpdate();
        }));
    stringProperty("toolChoice", &Internals::toolChoice, false);

    auto withClient = [this](const char* failure, auto&& call) -> Result<OVAny> {
        auto client = internals->session->client();
        if (client && call(*client))
            return OVAny();
        return Error(failure);
    };

    registerAction("createResponse", info.getAction("createResponse"), [this, withClient](const OVAnyMap& params) {
        // Without a session the answer is the failure, whatever the parameters.
        auto client = internals->session->client();
        if (!client || !client->hasActiveSession())
            return Result<OVAny>(Error("Failed to create response."));
        if (params.hasKey("text")) {
            const std::string text = params.at("text").convert<std::string>();
            return withClient("Failed to create response.",
                              [&](OpenAIWebSocketClient& c) { return c.createResponse(text); });
        }
        return withClient("Failed to create response.", [](OpenAIWebSocketClient& c) { return c.createResponse(); });
    });
    registerAction("updateSession", info.getAction("updateSession"), [this](const OVAnyMap&) -> Result<OVAny> {
        internals->session->requestSessionUpdate();
        return OVAny();
    });
    registerAction("resetSession", info.getAction("resetSession"), [this](const OVAnyMap&) -> Result<OVAny> {
        start();
        return OVAny();
    });
    registerAction("commitAudioBuffer", info.getAction("commitAudioBuffer"), [this](const OVAnyMap&) -> Result<OVAny> {
        // The sender appends what was captured up to now, then commits.
        auto client = internals->session->client();
        if (!client || !client->hasActiveSession())
            return Error("Failed to commit audio buffer.");
        internals->input->requestCommit();
        return OVAny();
    });
    registerAction("cancelResponse", info.getAction("cancelResponse"), [withClient](const OVAnyMap&) {
        return withClient("Failed to cancel response.", [](OpenAIWebSocketClient& c) { return c.cancelResponse(); });
    });
    registerAction("submitToolResult", info.getAction("submitToolResult"), [withClient](const OVAnyMap& params) {
        const std::string callId = params.at("callId").convert<std::string>();
        const std::string output = params.at("outputJson").convert<std::string>();
        return withClient("Failed to submit tool result.",
                          [&](OpenAIWebSocketClient& c) { return c.submitFunctionCallOutput(callId, output); });
    });
    registerAction("submitToolError", info.getAction("submitToolError"), [withClient](const OVAnyMap& params) {
        const std::string callId = params.at("callId").convert<std::string>();
        const std::string error = params.at("errorJson").convert<std::string>();
        return withClient("Failed to submit tool error.",
                          [&](OpenAIWebSocketClient& c) { return c.submitFunctionCallOutput(callId, error); });
    });
    registerAction("truncateResponse", info.getAction("truncateResponse"), [this](const OVAnyMap&) -> Result<OVAny> {
        if (!internals->session->client())
            return Error("Failed to truncate response.");
        truncatePlayback();
        return OVAny();
    });
    registerAction("clearOutputBuffer", info.getAction("clearOutputBuffer"), [this](const OVAnyMap&) -> Result<OVAny> {
        // The audio thread drops what was buffered before this call at its
        // next block, before it plays anything, and waits for the start
        // threshold again.
        internals->outputBuffer.requestClear();
        internals->input->resetOverflow();
        return OVAny();
    });
    registerAction("clearInputBuffer", info.getAction("clearInputBuffer"), [this](const OVAnyMap&) -> Result<OVAny> {
        // The sender drops what was captured up to now and then clears the
        // service's buffer, in order with the appends and commits before it.
        auto client = internals->session->client();
        const bool active = client && client->hasActiveSession();
        internals->input->requestClear(active);
        if (!active)
            return Error("Failed to clear OpenAI input buffer.");
        orvanta::Logger::info("[OpenAINode] Input buffers cleared.");
        return OVAny();
    });
    registerAction("pauseOutput", info.getAction("pauseOutput"), [this](const OVAnyMap&) -> Result<OVAny> {
        internals->outputPaused.store(true);
        orvanta::Logger::info("[OpenAINode] Output playback paused.");
        return OVAny();
    });
    registerAction("resumeOutput", info.getAction("resumeOutput"), [this](const OVAnyMap&) -> Result<OVAny> {
        internals->outputPaused.store(false);
        orvanta::Logger::info("[OpenAINode] Output playback resumed.");
        return OVAny();
    });

    for (const char* name : {"inputTranscriptionDelta", "inputTranscription", "sessionStarting", "sessionDisconnected",
                             "responseCreated", "responseDone", "error", "responseTranscriptionDelta",
                             "responseTranscription", "toolCall"})
        registerEvent(name, info.getEvent(name));
}

// --- Session ----------------------------------------------------------------

void OpenAINode::start() { internals->session->start(); }

void OpenAINode::onGraphStart() { start(); }

void OpenAINode::scheduleSessionUpdate() { internals->session->scheduleSessionUpdate(); }

void OpenAINode::updateSession() {
    auto client = internals->session->client();
    if (!client)
        return;
    UpdateSessionClientEvent event;
    std::optional<OVAnyVector> tools;
    {
        std::lock_guard<std::mutex> lock(internals->paramsMutex);
        event.voice = internals->voice;
        event.instructions = internals->instructions;
        event.speed = internals->speed;
        event.transcriptionModel = internals->transcriptionModel;
        event.turnDetection = internals->turnDetection;
        event.noiseReduction = internals->noiseReduction;
        event.toolChoice = internals->toolChoice;
        tools = internals->tools;
    }
    event.inputAudioTranscription = true;
    if (tools) {
        try {
            OVAnyMap wrapper;
            wrapper.set("tools", *tools);
            const auto parsed = nlohmann::json::parse(OVAnyMap::mapToJson(wrapper));
            event.tools = parsed.at("tools").dump();
        } catch (const std::exception& e) {
            orvanta::Logger::error(std::string("[OpenAINode] Failed to serialize tools: ") + e.what());
            onError("invalid_tools", "", e.what());
        }
    }
    client->updateSession(event);
}

void OpenAINode::onSessionCreated() {
    orvanta::Logger::info("[OpenAINode] Session created with OpenAI.");
    internals->session->sessionCreated();
}

void OpenAINode::onSessionDisconnected() {
    internals->outputPaused.store(false);
    orvanta::Logger::info("[OpenAINode] Disconnected from OpenAI, reconnecting in 3 seconds...");
    internals->session->sessionDisconnected();
}

void OpenAINode::onError(const std::string& type, const std::string& code, const std::string& message) {
    emitEvent("error", OVAnyMap{{"type", type}, {"code", code}, {"message", message}});
}

// --- Audio road ---------------------------------------------------------------

bool OpenAINode::setBusFormat(AudioBusFormat& in, AudioBusFormat& out) {
    if (!AudioBusFormat::matchBusFormats(in, out)) {
        orvanta::Logger::error("[OpenAINode] Input and output bus formats do not match.");
        return false;
    }
    if (in.getNumberOfChannels() != 1) {
        orvanta::Logger::error("[OpenAINode] OpenAI node only supports mono audio input and output.");
        return false;
    }
    return true;
}

bool OpenAINode::process(AudioBus& in, AudioBus& out) {
    AudioBusList inputs;
    AudioBusList outputs;
    inputs.push_back(AudioBus(in.getBuffer()));
    outputs.push_back(AudioBus(out.getBuffer()));
    return internals->resampler.process(inputs, outputs);
}

bool OpenAINode::processInternal(AudioBus& inBus, AudioBus& outBus) {
    auto& in = *internals;
    AudioBuffer<float>& inBuffer = *inBus.getBuffer();
    AudioBuffer<float>& outBuffer = *outBus.getBuffer();
    const auto n = static_cast<unsigned int>(inBuffer.getNumberOfFrames());

    in.input->capture(inBuffer.getReadPointer(0), n);

    AudioQueue& queue = in.outputBuffer;
    if (queue.applyPendingClear())
        in.playbackStarted = false; // what comes after a clear waits for the threshold again
    const unsigned int available = queue.getAvailableItemsToConsume();
    if (available >= playbackThreshold)
        in.playbackStarted = true;
    else if (available == 0)
        in.playbackStarted = false;
    // The rest of a response that is done plays however short it is.
    const bool released = queue.consumedCount() < in.releasedUntil.load(std::memory_order_acquire);
    if (available == 0 || !(in.playbackStarted || released) || in.outputPaused.load(std::memory_order_relaxed)) {
        outBuffer.clear();
        return true;
    }
    float* out = outBuffer.getWritePointer(0);
    const unsigned int got = queue.consume(out, std::min(available, n));
    std::fill(out + got, out + n, 0.0f);
    in.heardUntil.store(queue.consumedCount(), std::memory_order_release);
    return true;
}

void OpenAINode::sendAudioToOpenAI() { internals->input->run(*internals->session); }

void OpenAINode::onResponseAudioReceived(const std::vector<int16_t>& samples, const std::string& itemId,
                                         int contentIndex) {
    auto& in = *internals;
    if (samples.empty()) {
        orvanta::Logger::warning("[OpenAINode] Received empty audio data from OpenAI.");
        return;
    }
    bool changed = false;
    std::string old;
    {
        std::lock_guard<std::mutex> lock(in.itemMutex);
        if (in.currentItemId != itemId) {
            old = in.currentItemId;
            in.currentItemId = itemId;
            changed = true;
        }
    }
    if (changed)
        orvanta::Logger::info("[OpenAINode] onResponseAudioReceived: currentItemId '" + old + "' -> '" + itemId +
                              "'.");
    // A delta arrives every few tens of milliseconds: build the debug texts
    // only when they are wanted.
    const bool debug = orvanta::Logger::getLevel() <= orvanta::Logger::Level::Debug;
    const auto count = static_cast<unsigned int>(samples.size());
    if (debug)
        orvanta::Logger::debug("[OpenAINode] Received audio data from OpenAI with " + std::to_string(count) +
                               " samples.");
    AudioQueue& queue = in.outputBuffer;
    if (queue.getAvailableItemsToProduce() <= count) {
        orvanta::Logger::warning("[OpenAINode] Response audio buffer is full, dropping audio data.");
        return;
    }
    // Recorded before the samples are queued, so that the audio thread can
    // never play a sample whose item is not known yet.
    const uint64_t begin = queue.producedCount();
    {
        std::lock_guard<std::mutex> lock(in.itemMutex);
        auto& segments = in.segments;
        if (!segments.empty() && segments.back().itemId == itemId && segments.back().contentIndex == contentIndex &&
            segments.back().end == begin)
            segments.back().end = begin + count;
        else
            segments.push_back({itemId, contentIndex, begin, begin + count});
    }
    float piece[conversionPiece];
    for (unsigned int done = 0; done < count;) {
        const unsigned int n = std::min(conversionPiece, count - done);
        conversion::shortIntToFloat(samples.data() + done, piece, n);
        queue.produce(piece, n);
        done += n;
    }
    if (debug) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.6f",
                      static_cast<double>(static_cast<float>(queue.getBufferedItems()) / 24000.0f));
        orvanta::Logger::debug(std::string("[OpenAINode] Response audio buffer duration: ") + seconds + " seconds.");
    }
}

// --- Conversation control ---------------------------------------------------

void OpenAINode::onResponseCreated() {
    // Runs on the client's I/O thread, before any audio of the new response
    // is queued, so the clear below drops exactly the previous response.
    orvanta::Logger::info("[OpenAINode] Response created from OpenAI.");
    callAction("clearOutputBuffer", OVAnyMap());
    callAction("resumeOutput", OVAnyMap());
    std::string old;
    {
        std::lock_guard<std::mutex> lock(internals->itemMutex);
        old.swap(internals->currentItemId);
        internals->segments.clear();
    }
    orvanta::Logger::info("[OpenAINode] onResponseCreated: cleared currentItemId (was '" + old + "').");
    internals->session->post([this] { emitEvent("responseCreated", OVAnyMap()); });
}

void OpenAINode::onResponseDone(const std::string& status) {
    // Runs on the client's I/O thread, after every audio delta of this
    // response and before anything of the next: an answer shorter than the
    // start threshold plays to its end, and the next response, which begins
    // with a clear, waits for the threshold as usual.
    internals->releasedUntil.store(internals->outputBuffer.producedCount(), std::memory_order_release);
    orvanta::Logger::info("[OpenAINode] Response done from OpenAI with status: " + status);
    internals->session->post([this, status] { emitEvent("responseDone", OVAnyMap{{"status", status}}); });
}

void OpenAINode::onInputAudioSpeechStarted() {
    // I/O thread: pausing here, in order with the audio deltas, fixes the
    // played count that the truncation reports.
    orvanta::Logger::info("[OpenAINode] Server VAD speech_started \xE2\x80\x94 stopping playback and truncating.");
    callAction("pauseOutput", OVAnyMap());
    truncatePlayback();
}

void OpenAINode::truncatePlayback() {
    auto client = internals->session->client();
    if (!client) {
        orvanta::Logger::warning("[OpenAINode] truncatePlayback called but client is null.");
        return;
    }
    // The item being heard is the one the last played sample belongs to;
    // when nothing of this response has played yet, its first item, of
    // which nothing was heard. What was heard of it is counted over its
    // own samples only.
    std::string itemId;
    int index = 0;
    uint64_t heard = 0;
    {
        std::lock_guard<std::mutex> lock(internals->itemMutex);
        const auto& segments = internals->segments;
        const uint64_t until = internals->heardUntil.load(std::memory_order_acquire);
        const Internals::Segment* playing = segments.empty() ? nullptr : &segments.front();
        for (const auto& segment : segments)
            if (segment.begin < until)
                playing = &segment;
        if (playing) {
            itemId = playing->itemId;
            index = playing->contentIndex;
            for (const auto& segment : segments)
                if (segment.itemId == itemId && segment.contentIndex == index && segment.begin < until)
                    heard += std::min(until, segment.end) - segment.begin;
        }
        internals->currentItemId.clear();
        internals->segments.clear();
    }
    const uint64_t audioEndMs = heard * 1000 / 24000;
    orvanta::Logger::info("[OpenAINode] truncatePlayback: itemId='" + itemId + "' contentIndex=" +
                          std::to_string(index) + " playedSamples=" + std::to_string(heard) +
                          " audioEndMs=" + std::to_string(audioEndMs));
    if (!itemId.empty())
        client->sendConversationItemTruncate(itemId, index, static_cast<int>(audioEndMs));
    else
        orvanta::Logger::warning("[OpenAINode] truncatePlayback: itemId empty, not sending truncate event.");
}

void OpenAINode::onInputAudioTranscriptionDelta(const std::string& delta) {
    emitEvent("inputTranscriptionDelta", OVAnyMap{{"delta", delta}});
}

void OpenAINode::onInputAudioTranscription(const std::string& transcript) {
    orvanta::Logger::info("[OpenAINode] onInputAudioTranscription: " + transcript);
    emitEvent("inputTranscription", OVAnyMap{{"transcript", transcript}});
}

void OpenAINode::onResponseAudioTranscriptionDelta(const std::string& delta) {
    emitEvent("responseTranscriptionDelta", OVAnyMap{{"delta", delta}});
}

void OpenAINode::onResponseAudioTranscription(const std::string& transcript) {
    orvanta::Logger::info("[OpenAINode] onResponseAudioTranscription: " + transcript);
    emitEvent("responseTranscription", OVAnyMap{{"transcript", transcript}});
}

void OpenAINode::onToolCall(const std::string& callId, const std::string& name, const std::string& argumentsJson) {
    orvanta::Logger::info("[OpenAINode] Tool call: " + name + " (" + callId + ").");
    emitEvent("toolCall", OVAnyMap{{"callId", callId}, {"name", name}, {"argumentsJson", argumentsJson}});
}

} // namespace orvanta::extensions::openai
