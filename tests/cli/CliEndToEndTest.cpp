// Runs the built orvanta-openai as a user would, against the simulator it starts itself (or one this test starts),
// and checks what it prints, its exit status and the reply it writes.
#include "tools/cli/WavReader.h"
#include "tools/simulator/Simulator.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

using orvanta::simulator::Simulator;
using orvanta::simulator::SimulatorOptions;

namespace {

struct ToolRun {
    int status = -1; // exit status, or -1 when killed by a signal
    std::string out, err;
    std::vector<std::string> lines;
};

std::string scratch(const std::string& name) {
    return testing::TempDir() + "cli_e2e_" + std::to_string(getpid()) + "_" + name;
}

std::string slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    std::remove(path.c_str());
    return text.str();
}

// Runs the tool with stdout and stderr in files (so not a terminal); a hung run meets the test's time limit.
ToolRun runTool(const std::vector<std::string>& args) {
    const std::string outPath = scratch("stdout"), errPath = scratch("stderr");
    std::string command = "'" ORVANTA_CLI_BINARY "'";
    for (const auto& a : args)
        command += " '" + a + "'"; // no argument here holds a quote
    const int status = std::system((command + " </dev/null >'" + outPath + "' 2>'" + errPath + "'").c_str());
    ToolRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    EXPECT_NE(run.status, 127) << "cannot start " << command;
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);)
        run.lines.push_back(line);
    return run;
}

// What the simulator got before the first commit: a commit at the file's end takes the whole file (`frames` at
// 24 kHz) and at most what the host's pipeline and a render step hold as silence at --fast's double speed.
void expectWholeSampleCommitted(const Simulator& sim, std::size_t frames = 52859 * 3 / 2) {
    std::size_t sent = 0;
    for (const auto& text : sim.receivedClientEvents()) {
        const auto event = nlohmann::json::parse(text);
        if (event["type"] == "input_audio_buffer.commit")
            break;
        if (event["type"] == "input_audio_buffer.append") {
            const std::string audio = event["audio"];
            sent += (audio.size() / 4 * 3 - std::count(audio.end() - 2, audio.end(), '=')) / 2;
        }
    }
    EXPECT_GE(sent, frames);
    EXPECT_LT(sent, frames + 24000);
}

// A started simulator; answers at full speed.
struct Sim : Simulator {
    explicit Sim(SimulatorOptions options = {}) : Simulator((options.pacing = 0, options)) { start(); }
};

} // namespace

// A stereo file at another rate gets its reply at that rate; --json prints every event as one line; the session
// used is the last one created, after a start (the constructor's may come up first); the streamed transcript adds
// up to the whole; the tool's canned answer reaches the service; without turn detection the commit comes at the end.
TEST(CliConverse, TakesAStereoFileAnswersToolCallsAndPrintsEveryEventAsJsonInOrder) {
    // The sample, sped up to 48 kHz and put into the left channel only.
    const auto mono = orvanta::cli::WavReader(ORVANTA_SAMPLES_DIR "/hello.wav").readAll();
    const std::string input = scratch("stereo48k.wav"), reply = scratch("reply.wav");
    SF_INFO info{0, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* file = sf_open(input.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    std::vector<float> frames;
    for (float s : mono)
        frames.insert(frames.end(), {s, 0.0f});
    sf_writef_float(file, frames.data(), static_cast<sf_count_t>(mono.size()));
    sf_close(file);

    Sim sim;
    const ToolRun run = runTool({"converse", input, "--fast", "--json", "--turn-detection", "none", "--tools",
                                 ORVANTA_SAMPLES_DIR "/weather-tools.json", "--tool-results",
                                 ORVANTA_SAMPLES_DIR "/weather-results.json", "-o", reply, "--simulator",
                                 sim.realtimeUrl()});
    std::remove(input.c_str());
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    // The simulator answers with 2 s of synthetic voice; the reply file holds it from its first sound to its
    // last, so a little less than 2 s, at the input's rate, mono, and not silence.
    orvanta::cli::WavReader replyFile(reply);
    EXPECT_EQ(replyFile.getSampleRate(), 48000);
    EXPECT_EQ(replyFile.getChannels(), 1);
    const auto samples = replyFile.readAll();
    std::remove(reply.c_str());
    EXPECT_GT(samples.size(), (2.0 - 0.15) * 48000);
    EXPECT_LT(samples.size(), (2.0 + 0.05) * 48000);
    const double energy = std::inner_product(samples.begin(), samples.end(), samples.begin(), 0.0);
    EXPECT_GT(std::sqrt(energy / std::max<std::size_t>(samples.size(), 1)), 0.01);
    expectWholeSampleCommitted(sim, mono.size() / 2);
    std::vector<std::string> names;
    std::string deltas, transcript, toolOutput;
    for (const auto& line : run.lines) {
        const auto event = nlohmann::json::parse(line); // every line, or this throws
        names.push_back(event.at("event"));
        if (names.back() == "responseTranscriptionDelta")
            deltas += event["data"]["delta"].get<std::string>();
        if (names.back() == "responseTranscription")
            transcript = event["data"]["transcript"];
        if (names.back() == "toolCall") {
            EXPECT_EQ(event["data"]["name"], "get_weather");
        }
    }
    for (const auto& text : sim.receivedClientEvents()) {
        const auto event = nlohmann::json::parse(text);
        if (event["type"] == "conversation.item.create" && event["item"]["type"] == "function_call_output")
            toolOutput = event["item"]["output"];
    }
    EXPECT_EQ(toolOutput, R"({"city":"Paris","sky":"sunny","temperature_c":21})");
    auto first = [&](const std::string& name) { return std::find(names.begin(), names.end(), name) - names.begin(); };
    auto last = [&](const std::string& name) { return names.rend() - std::find(names.rbegin(), names.rend(), name) - 1; };
    ASSERT_LT(first("toolCall"), static_cast<long>(names.size()));
    EXPECT_LT(last("sessionStarting"), last("sessionCreated"));
    EXPECT_LT(first("sessionCreated"), first("inputTranscription"));
    EXPECT_LT(first("inputTranscription"), first("toolCall"));
    EXPECT_LT(first("responseCreated"), first("responseDone"));
    EXPECT_EQ(names.back(), "responseDone");
    EXPECT_FALSE(transcript.empty());
    EXPECT_EQ(deltas, transcript);
}

TEST(CliTranscribe, CommitsTheWholeFileAndPrintsOneTranscriptPerCommit) {
    Sim sim;
    ToolRun run = runTool({"transcribe", "--fast", "--simulator", sim.realtimeUrl()});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_EQ(run.lines.size(), 1u) << run.out;
    EXPECT_FALSE(run.lines[0].empty());
    expectWholeSampleCommitted(sim);

    // 3.3 s of input committed every 2 s: once on the way, once at the end.
    run = runTool({"transcribe", "--fast", "--commit-every", "2", "--json"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    int transcriptions = 0;
    for (const auto& line : run.lines)
        transcriptions += nlohmann::json::parse(line).at("event") == "transcription";
    EXPECT_EQ(transcriptions, 2) << run.out;
}

// Each case of data/failing-runs.json: the arguments (with a simulator set up as the case says, a closed port, a
// missing or a non-audio file put in), the exit status, what stderr says (in one line unless verbose), what stdout
// must say and what neither may ever show.
TEST(CliErrors, FailingRunsEndWithTheirStatusAndSayWhy) {
    const std::string closedUrl = Sim().realtimeUrl(); // nothing listens on this port any more
    const std::string text = scratch("text.wav");
    std::ofstream(text) << "RIFF? no, just text\n";
    for (const auto& c : nlohmann::json::parse(std::ifstream(ORVANTA_CLI_TEST_DATA "/failing-runs.json"))) {
        SCOPED_TRACE(c["why"].get<std::string>());
        SimulatorOptions options;
        const auto sim = c.value("simulator", nlohmann::json::object());
        options.faults.refuseKey = sim.value("refuseKey", false);
        for (const auto& pair : sim.value("appCredentials", nlohmann::json::array()))
            options.appCredentials.emplace_back(pair[0], pair[1]);
        if (sim.contains("tokenReply")) // its token service gives every request this reply
            options.tokenScript.assign(4, {{}, 200, sim["tokenReply"]});
        Sim simulator(options);
        auto fill = [&](std::string arg) {
            for (const auto& [key, value] : {std::pair<std::string, std::string>{"{simulator}", simulator.realtimeUrl()},
                                             {"{closed}", closedUrl}, {"{missing}", scratch("absent.wav")}, {"{text}", text}})
                if (arg.find(key) != std::string::npos)
                    arg.replace(arg.find(key), key.size(), value);
            return arg;
        };
        std::vector<std::string> args;
        for (const auto& arg : c["args"])
            args.push_back(fill(arg));
        const ToolRun run = runTool(args);
        EXPECT_EQ(run.status, c["status"]) << run.err;
        EXPECT_NE(run.err.find(fill(c["stderr"])), std::string::npos) << run.err;
        if (run.status == 1 && std::find(args.begin(), args.end(), "--verbose") == args.end()) {
            // The one line a failed run leaves on stderr (sanitizer noise would be more).
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
            EXPECT_EQ(run.err.rfind("orvanta-openai: ", 0), 0u) << run.err;
        }
        EXPECT_NE(run.out.find(c.value("stdout", "")), std::string::npos) << run.out;
        const std::string never = c.value("never", "\x01"); // nothing prints that
        EXPECT_EQ((run.out + run.err).find(never), std::string::npos) << run.out << run.err;
    }
    std::remove(text.c_str());
}
