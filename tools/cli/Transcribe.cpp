// transcribe: streams a file into the transcription node and prints the text.
#include "tools/cli/Commands.h"

#include "OrvantaSDK/AudioNode.h"
#include "OrvantaSDK/OfflineRenderer.h"
#include "tools/cli/ConsoleOutput.h"
#include "tools/cli/HostLog.h"
#include "tools/cli/InputFeeder.h"
#include "tools/cli/NodeListenerScope.h"
#include "tools/cli/ServiceTarget.h"
#include "tools/cli/SessionMonitor.h"
#include "tools/cli/WavReader.h"
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

// As for converse: the progress line's period.
constexpr auto kProgressPeriod = 100ms;

std::string field(const OVAnyMap& payload, const char* key) {
    if (!payload.hasKey(key))
        return {};
    const auto* text = payload.at(key).getIf<std::string>();
    return text ? *text : std::string();
}

struct Transcripts {
    std::mutex mutex;
    int completed = 0; // transcriptions and failed transcriptions
};

} // namespace

int runTranscribe(const CliOptions& options) {
    WavReader reader(options.input);
    if (reader.getFrames() == 0)
        throw RunError("'" + options.input + "' holds no audio");

    const int rate = reader.getSampleRate();
    const auto style = options.json                 ? ConsoleOutput::Style::Json
                       : isatty(STDOUT_FILENO) != 0 ? ConsoleOutput::Style::Interactive
                                                    : ConsoleOutput::Style::Plain;
    ConsoleOutput console(std::cout, style);
    HostLog hostLog(options.verbose);
    ServiceTarget target(options);
    console.status("service: " + target.getDescription());
    console.status("input: " + options.input + " (" + seconds(reader.getDurationSeconds()) + ", " +
                   std::to_string(rate) + " Hz)");

    OVAnyMap config{{"apiKey", target.getApiKey()}};
    if (options.language)
        config.set("transcriptionLanguage", *options.language);
    if (options.delay)
        config.set("transcriptionDelay", *options.delay);
    if (options.inputChunkMs)
        config.set("inputChunkMs", *options.inputChunkMs);

    const auto startTime = Clock::now();
    SessionMonitor monitor(options.connectAttempts,
                           std::chrono::milliseconds(static_cast<long long>(options.connectTimeoutSeconds * 1000)));
    Transcripts transcripts;
    Wakeup wakeup;
    std::unique_ptr<Node> node = createLibraryNode("OpenAI.RealtimeTranscribe", config);
    auto* audioNode = dynamic_cast<AudioNode*>(node.get());
    if (!audioNode)
        throw RunError("the OpenAI.RealtimeTranscribe node is not an audio node");

    const auto listener = node->addEventListener(EventEmitter::AllEvents, [&](const std::string& name,
                                                                              const OVAnyMap& payload) {
        monitor.onEvent(name, payload);
        console.jsonEvent(name, payload, std::chrono::duration<double>(Clock::now() - startTime).count());
        if (name == "transcriptionDelta") {
            console.transcriptDelta("", field(payload, "delta"));
        } else if (name == "transcription") {
            console.transcriptDone("", field(payload, "transcript"));
            std::lock_guard<std::mutex> lock(transcripts.mutex);
            ++transcripts.completed;
        } else if (name == "error") {
            const std::string type = field(payload, "type");
            const std::string code = field(payload, "code");
            console.result("error: " + type + (code.empty() ? "" : " (" + code + ")") + ": " +
                           field(payload, "message"));
            if (type == "transcription_failed") {
                std::lock_guard<std::mutex> lock(transcripts.mutex);
                ++transcripts.completed;
            }
        } else {
            console.sessionStatus(name);
        }
        // What the main loop decides on: transcripts that complete a commit,
        // and the session coming or going.
        if (name == "transcription" || name == "error" || name == "sessionCreated" || name == "sessionDisconnected")
            wakeup.notify();
    });

    NodeListenerScope cleanup(node, listener, hostLog);

    const int blockFrames = std::max(1, rate / 100);
    const double speed = options.fast ? 2.0 : 1.0;
    InputFeeder feeder(reader);
    OfflineRenderer renderer(*audioNode, {rate, blockFrames, 1, renderStepSeconds, speed});
    hostLog.watchInput(&feeder);
    if (!renderer.start())
        throw RunError("the transcription node refused a mono bus at " + std::to_string(rate) + " Hz");

    const double inputSeconds = reader.getDurationSeconds();
    const double timeoutSeconds =
        options.timeoutSeconds > 0 ? options.timeoutSeconds : inputSeconds / speed + 60.0;
    const auto deadline = startTime + std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));

    while (!monitor.isUp()) {
        if (auto reason = monitor.failure(); !reason.empty())
            throw RunError(reason);
        if (Clock::now() >= deadline)
            throw RunError("timed out after " + seconds(timeoutSeconds) + " waiting for a session");
        wakeup.waitUntil(std::min(deadline, monitor.giveUpAt()));
    }

    feeder.setGate(true);
    renderer.startRealtime([&](float* block, int frames) { return feeder.fill(block, frames); }, nullptr);

    // As in converse: when `frames` more of audio will have been rendered.
    auto audioTime = [&](double frames) {
        return std::chrono::duration_cast<Clock::duration>(
                   std::chrono::duration<double>(frames / (rate * speed) + renderStepSeconds)) +
               1ms;
    };
    const bool interactive = console.getStyle() == ConsoleOutput::Style::Interactive;
    int commits = 0;
    int periodicCommits = 0;
    bool finalCommitted = false;
    std::string failure;
    auto commit = [&]() -> bool {
        const auto result = node->callAction("commitAudioBuffer", OVAnyMap());
        if (result.hasError()) {
            failure = result.getError().getMessage();
            return false;
        }
        ++commits;
        console.status("input: committed");
        return true;
    };

    for (;;) {
        const auto now = Clock::now();
        feeder.setGate(monitor.isUp());
        if (failure = monitor.failure(now); !failure.empty())
            break;

        const double fedSeconds = feeder.getFileFramesFed() / static_cast<double>(rate);
        const double nextCommitSeconds = (periodicCommits + 1) * options.commitEverySeconds;
        if (options.commitEverySeconds > 0 && !feeder.isFileDone() && fedSeconds >= nextCommitSeconds) {
            ++periodicCommits;
            if (!commit())
                break;
        }
        if (!finalCommitted && feeder.isFileThroughNode()) {
            if (!commit())
                break;
            finalCommitted = true;
        }

        int completed = 0;
        {
            std::lock_guard<std::mutex> lock(transcripts.mutex);
            completed = transcripts.completed;
        }
        if (interactive)
            console.progress("sent " + seconds(fedSeconds) + " of " + seconds(inputSeconds) + " | transcripts " +
                             std::to_string(completed) + " of " + std::to_string(commits) + " | session " +
                             monitor.describe());
        if (finalCommitted && completed >= commits)
            break;
        if (now >= deadline) {
            failure = "timed out after " + seconds(timeoutSeconds) + ": " +
                      (finalCommitted ? std::string("not every transcript came")
                                      : std::string("the input was not sent in time"));
            break;
        }

        // Sleep until the next thing comes due; transcripts and session
        // changes wake the loop earlier.
        auto wakeAt = std::min(deadline, monitor.giveUpAt());
        if (interactive)
            wakeAt = std::min(wakeAt, now + kProgressPeriod);
        if (!feeder.isFileDone()) {
            double frames = static_cast<double>(feeder.getFileFramesLeft());
            if (options.commitEverySeconds > 0)
                frames = std::min(frames, (options.commitEverySeconds * (periodicCommits + 1) - fedSeconds) * rate);
            wakeAt = std::min(wakeAt, now + audioTime(frames));
        } else if (!finalCommitted) {
            wakeAt = std::min(wakeAt, now + audioTime(static_cast<double>(feeder.framesThroughNodeLeft())));
        }
        wakeup.waitUntil(wakeAt);
    }

    feeder.stop();
    renderer.stop();
    console.finish();

    if (!failure.empty())
        throw RunError(failure);
    if (feeder.wasFileAudioDropped())
        throw RunError("part of the input was dropped: the node could not send it fast enough" +
                       std::string(options.fast ? " (try without --fast)" : ""));
    if (const int errors = monitor.getServiceErrorCount(); errors > 0)
        throw RunError("the service reported " + std::to_string(errors) + " error" + (errors == 1 ? "" : "s") +
                       ", the last: " + monitor.getLastServiceError());
    return 0;
}

} // namespace orvanta::cli
