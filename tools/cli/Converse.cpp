// converse: plays a file into the voice node and records its answer.
#include "tools/cli/Commands.h"

#include "OrvantaSDK/AudioNode.h"
#include "OrvantaSDK/OfflineRenderer.h"
#include "tools/cli/ConsoleOutput.h"
#include "tools/cli/HostLog.h"
#include "tools/cli/InputFeeder.h"
#include "tools/cli/NodeListenerScope.h"
#include "tools/cli/ReplyRecorder.h"
#include "tools/cli/ServiceTarget.h"
#include "tools/cli/SessionMonitor.h"
#include "tools/cli/ToolAnswers.h"
#include "tools/cli/WavReader.h"
#include "tools/cli/WavWriter.h"
#include "tools/cli/Wakeup.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <mutex>

namespace orvanta::cli {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// With the service's voice detection, how long after the file ends a reply
// may still begin: half a second of silence ends the turn, and up to a second
// of audio waits in the node for its chunk to fill.
constexpr auto kVoiceDetectionSettle = 2500ms;
// The reply has played out when the output has been silent this long, and
// no event has come for the second while.
constexpr auto kPlayedOutSilence = 600ms;
constexpr auto kQuietEvents = 300ms;
// The reply's ring holds half a minute: emptying it every second is plenty.
constexpr auto kDrainPeriod = 1s;
// A terminal's progress line shows tenths of seconds.
constexpr auto kProgressPeriod = 100ms;

std::string field(const OVAnyMap& payload, const char* key) {
    if (!payload.hasKey(key))
        return {};
    const auto* text = payload.at(key).getIf<std::string>();
    return text ? *text : std::string();
}

ConsoleOutput::Style styleFor(const CliOptions& options) {
    if (options.json)
        return ConsoleOutput::Style::Json;
    return isatty(STDOUT_FILENO) ? ConsoleOutput::Style::Interactive : ConsoleOutput::Style::Plain;
}

// What the listener learns about responses, read by the main loop.
struct Conversation {
    std::mutex mutex;
    int created = 0;
    int done = 0;
    int requested = 0;       // createResponse calls not yet answered by responseCreated
    bool followUpDue = false; // a tool result was given; ask for the answer when the response ends
    Clock::time_point lastEvent = Clock::now();
};

// Events after which the main loop has something to decide; the others
// (transcript pieces, item events) only move the "quiet" time it waits for.
bool mattersToMainLoop(const std::string& name) {
    return name == "sessionCreated" || name == "sessionDisconnected" || name == "error" || name == "toolCall" ||
           name == "responseCreated" || name == "responseDone";
}

} // namespace

int runConverse(const CliOptions& options) {
    WavReader reader(options.input);
    if (reader.getFrames() == 0)
        throw RunError("'" + options.input + "' holds no audio");
    OVAnyVector tools;
    if (!options.toolsFile.empty())
        tools = ToolAnswers::loadDefinitions(options.toolsFile);
    ToolAnswers answers;
    if (!options.toolResultsFile.empty())
        answers = ToolAnswers::load(options.toolResultsFile);

    const int rate = reader.getSampleRate();
    ConsoleOutput console(std::cout, styleFor(options));
    HostLog hostLog(options.verbose);
    ServiceTarget target(options);
    console.status("service: " + target.getDescription());
    console.status("input: " + options.input + " (" + seconds(reader.getDurationSeconds()) + ", " +
                   std::to_string(rate) + " Hz, " + std::to_string(reader.getChannels()) + " channel" +
                   (reader.getChannels() == 1 ? "" : "s, mixed down") + ")");
    WavWriter writer(options.output, rate);

    OVAnyMap config{{"apiKey", target.getApiKey()}, {"turnDetection", options.turnDetection}};
    if (options.voice)
        config.set("voice", *options.voice);
    if (options.instructions)
        config.set("instructions", *options.instructions);
    if (options.speed)
        config.set("speed", *options.speed);
    if (options.noiseReduction)
        config.set("noiseReduction", *options.noiseReduction);
    if (options.transcriptionModel)
        config.set("transcriptionModel", *options.transcriptionModel);
    if (options.toolChoice)
        config.set("toolChoice", *options.toolChoice);
    if (!options.toolsFile.empty())
        config.set("tools", tools);
    if (options.inputChunkMs)
        config.set("inputChunkMs", *options.inputChunkMs);

    const auto startTime = Clock::now();
    SessionMonitor monitor(options.connectAttempts,
                           std::chrono::milliseconds(static_cast<long long>(options.connectTimeoutSeconds * 1000)));
    Conversation conversation;
    Wakeup wakeup;
    std::unique_ptr<Node> node = createLibraryNode("OpenAI.Realtime", config);
    auto* audioNode = dynamic_cast<AudioNode*>(node.get());
    if (!audioNode)
        throw RunError("the OpenAI.Realtime node is not an audio node");

    const auto listener = node->addEventListener(EventEmitter::AllEvents, [&](const std::string& name,
                                                                              const OVAnyMap& payload) {
        monitor.onEvent(name, payload);
        {
            std::lock_guard<std::mutex> lock(conversation.mutex);
            conversation.lastEvent = Clock::now();
        }
        console.jsonEvent(name, payload, std::chrono::duration<double>(Clock::now() - startTime).count());
        if (name == "inputTranscriptionDelta") {
            console.transcriptDelta("you", field(payload, "delta"));
        } else if (name == "inputTranscription") {
            console.transcriptDone("you", field(payload, "transcript"));
        } else if (name == "responseTranscriptionDelta") {
            console.transcriptDelta("assistant", field(payload, "delta"));
        } else if (name == "responseTranscription") {
            console.transcriptDone("assistant", field(payload, "transcript"));
        } else if (name == "toolCall") {
            const std::string callId = field(payload, "callId");
            const std::string tool = field(payload, "name");
            const auto answer = answers.answerFor(tool);
            const auto submitted =
                answer.found ? node->callAction("submitToolResult", {{"callId", callId}, {"outputJson", answer.json}})
                             : node->callAction("submitToolError", {{"callId", callId}, {"errorJson", answer.json}});
            console.result("tool: " + tool + " " + field(payload, "argumentsJson") + " -> " + answer.json);
            if (submitted.hasError()) {
                console.result("error: " + submitted.getError().getMessage());
            } else {
                // The model answers once it has the result; asking while the
                // calling response is still open would be refused.
                std::lock_guard<std::mutex> lock(conversation.mutex);
                conversation.followUpDue = true;
            }
        } else if (name == "responseCreated") {
            console.status("response: started");
            std::lock_guard<std::mutex> lock(conversation.mutex);
            ++conversation.created;
            conversation.requested = std::max(0, conversation.requested - 1);
        } else if (name == "responseDone") {
            console.status("response: " + field(payload, "status"));
            bool askNow = false;
            {
                std::lock_guard<std::mutex> lock(conversation.mutex);
                ++conversation.done;
                askNow = conversation.followUpDue;
                conversation.followUpDue = false;
                if (askNow)
                    ++conversation.requested;
            }
            if (askNow) {
                const auto asked = node->callAction("createResponse", OVAnyMap());
                if (asked.hasError()) {
                    console.result("error: " + asked.getError().getMessage());
                    std::lock_guard<std::mutex> lock(conversation.mutex);
                    --conversation.requested;
                }
            }
        } else if (name == "error") {
            const std::string code = field(payload, "code");
            console.result("error: " + field(payload, "type") + (code.empty() ? "" : " (" + code + ")") + ": " +
                           field(payload, "message"));
        } else {
            console.sessionStatus(name);
        }
        if (mattersToMainLoop(name))
            wakeup.notify();
    });

    // From here on the node must go before the objects its listener uses.
    NodeListenerScope cleanup(node, listener, hostLog);

    // Blocks of 10 ms at the file's rate, as a host at that rate would use.
    // The feeder and the recorder are declared first: the renderer's audio
    // thread uses them until the renderer is gone.
    const int blockFrames = std::max(1, rate / 100);
    const double speed = options.fast ? 2.0 : 1.0;
    InputFeeder feeder(reader);
    // Half a minute of output may wait for the main thread.
    ReplyRecorder recorder(rate, 30.0, options.keepSilence);
    OfflineRenderer renderer(*audioNode, {rate, blockFrames, 1, renderStepSeconds, speed});
    hostLog.watchInput(&feeder);
    if (!renderer.start())
        throw RunError("the voice node refused a mono bus at " + std::to_string(rate) + " Hz");

    const double inputSeconds = reader.getDurationSeconds();
    const double timeoutSeconds =
        options.timeoutSeconds > 0 ? options.timeoutSeconds : inputSeconds / speed + 60.0;
    const auto deadline = startTime + std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));

    // Wait for the session before playing: the node holds two seconds of
    // input at most, and only a connected node sends it on.
    while (!monitor.isUp()) {
        if (auto reason = monitor.failure(); !reason.empty())
            throw RunError(reason);
        if (Clock::now() >= deadline)
            throw RunError("timed out after " + seconds(timeoutSeconds) + " waiting for a session");
        wakeup.waitUntil(std::min(deadline, monitor.giveUpAt()));
    }

    feeder.setGate(true);
    renderer.startRealtime([&](float* block, int frames) { return feeder.fill(block, frames); },
                           [&](const float* block, int frames) { recorder.push(block, frames); });

    // Audio time at the feeder's pace, as the main thread's clock sees it;
    // the renderer notices the file's end at its next step.
    auto audioTime = [&](double frames) {
        return std::chrono::duration_cast<Clock::duration>(
                   std::chrono::duration<double>(frames / (rate * speed) + renderStepSeconds)) +
               1ms;
    };
    const bool manualTurns = options.turnDetection == "none";
    const bool interactive = console.getStyle() == ConsoleOutput::Style::Interactive;
    bool committed = false;
    Clock::time_point fileDoneAt{};
    std::string failure;
    for (;;) {
        const auto now = Clock::now();
        recorder.drainTo(writer);
        feeder.setGate(monitor.isUp());

        if (failure = monitor.failure(now); !failure.empty())
            break;
        if (feeder.isFileDone() && fileDoneAt == Clock::time_point{})
            fileDoneAt = now;

        // The node sends everything it has taken in before the commit.
        if (manualTurns && !committed && feeder.isFileThroughNode()) {
            const auto result = node->callAction("commitAudioBuffer", OVAnyMap());
            if (result.hasError()) {
                failure = result.getError().getMessage();
                break;
            }
            committed = true;
            console.status("input: committed");
        }

        int created = 0, done = 0, requested = 0;
        bool followUpDue = false;
        Clock::time_point lastEvent;
        {
            std::lock_guard<std::mutex> lock(conversation.mutex);
            created = conversation.created;
            done = conversation.done;
            requested = conversation.requested;
            followUpDue = conversation.followUpDue;
            lastEvent = conversation.lastEvent;
        }
        if (interactive)
            console.progress("sent " + seconds(feeder.getFileFramesFed() / static_cast<double>(rate)) + " of " +
                             seconds(inputSeconds) + " | played " +
                             seconds(recorder.getSoundFrames() / static_cast<double>(rate)) + " | session " +
                             monitor.describe() + (created > done ? " | responding" : ""));

        const bool turnEnded = manualTurns ? committed : (fileDoneAt != Clock::time_point{} &&
                                                          now - fileDoneAt >= kVoiceDetectionSettle);
        const bool answered = done >= 1 && created == done && requested == 0 && !followUpDue;
        const auto quietAt = std::max(recorder.getLastSound() + kPlayedOutSilence, lastEvent + kQuietEvents);
        if (turnEnded && answered && now >= quietAt)
            break;
        if (now >= deadline) {
            failure = "timed out after " + seconds(timeoutSeconds) + ": " +
                      (!feeder.isFileDone() ? std::string("the input was not sent in time")
                       : done == 0          ? std::string("no response came")
                                            : std::string("the response did not finish"));
            break;
        }

        // Sleep until the next thing to check comes due; the listener wakes
        // the loop earlier for the events it decides on.
        auto wakeAt = std::min({deadline, now + kDrainPeriod, monitor.giveUpAt()});
        if (interactive)
            wakeAt = std::min(wakeAt, now + kProgressPeriod);
        if (!feeder.isFileDone())
            wakeAt = std::min(wakeAt, now + audioTime(static_cast<double>(feeder.getFileFramesLeft())));
        else if (manualTurns && !committed)
            wakeAt = std::min(wakeAt, now + audioTime(static_cast<double>(feeder.framesThroughNodeLeft())));
        else if (!turnEnded)
            wakeAt = std::min(wakeAt, fileDoneAt + kVoiceDetectionSettle);
        else if (answered)
            wakeAt = std::min(wakeAt, quietAt);
        wakeup.waitUntil(wakeAt);
    }

    feeder.stop();
    renderer.stop();
    recorder.drainTo(writer);
    writer.close();
    console.finish();

    if (!failure.empty())
        throw RunError(failure);
    if (feeder.wasFileAudioDropped())
        throw RunError("part of the input was dropped: the node could not send it fast enough" +
                       std::string(options.fast ? " (try without --fast)" : ""));
    if (recorder.getLostFrames() > 0)
        throw RunError("part of the reply was lost before it could be written");
    // An answer that never left the node is a failed run, not an empty reply.
    if (recorder.getSoundFrames() == 0)
        throw RunError("the response came but no audio of it came out of the node");
    const double replySeconds = writer.getFramesWritten() / static_cast<double>(rate);
    console.result("reply: " + options.output + " (" + seconds(replySeconds) + ")");
    if (const int errors = monitor.getServiceErrorCount(); errors > 0)
        throw RunError("the service reported " + std::to_string(errors) + " error" + (errors == 1 ? "" : "s") +
                       ", the last: " + monitor.getLastServiceError());
    return 0;
}

} // namespace orvanta::cli
