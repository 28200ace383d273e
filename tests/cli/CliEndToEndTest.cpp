// Runs the built orvanta-openai as a user would, against the simulator it
// starts itself (or one this test starts, for the failure cases), and checks
// what it prints, its exit status and the reply it writes.
#include "tools/cli/WavReader.h"
#include "tools/simulator/Simulator.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

struct ToolRun {
    int status = -1; // exit status, or -1 when killed
    std::string out;
    std::string err;
    std::vector<std::string> outLines() const {
        std::vector<std::string> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
};

std::string scratch(const std::string& name) {
    return testing::TempDir() + "cli_e2e_" + std::to_string(getpid()) + "_" + name;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the tool with stdout and stderr in files (so not a terminal) and kills
// it if it outlives `limit`.
ToolRun runTool(const std::vector<std::string>& args, std::chrono::seconds limit = std::chrono::seconds(120)) {
    const std::string outPath = scratch("stdout");
    const std::string errPath = scratch("stderr");
    std::vector<std::string> all{ORVANTA_CLI_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ToolRun run;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0];
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "the tool did not end within " << limit.count() << " s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return run;
}

// `line` is `prefix` followed by some text.
bool says(const std::string& line, const std::string& prefix) {
    return line.rfind(prefix, 0) == 0 && line.size() > prefix.size();
}

struct Reply {
    int rate = 0;
    int channels = 0;
    double seconds = 0;
    double rms = 0;
};

Reply readReply(const std::string& path) {
    orvanta::cli::WavReader reader(path);
    Reply r;
    r.rate = reader.getSampleRate();
    r.channels = reader.getChannels();
    const auto samples = reader.readAll();
    r.seconds = static_cast<double>(samples.size()) / r.rate;
    double sum = 0;
    for (float s : samples)
        sum += static_cast<double>(s) * s;
    r.rms = samples.empty() ? 0 : std::sqrt(sum / samples.size());
    return r;
}

// The one line a failed run leaves on stderr (sanitizer noise would be more).
void expectOneErrorLine(const ToolRun& run, const std::string& part) {
    EXPECT_EQ(run.status, 1) << run.err;
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    EXPECT_EQ(run.err.rfind("orvanta-openai: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(part), std::string::npos) << run.err;
}

// The size (24 kHz samples) of each piece of input the simulator got before
// the first commit.
std::vector<std::size_t> appendsBeforeCommit(const orvanta::simulator::Simulator& sim) {
    std::vector<std::size_t> pieces;
    for (const auto& text : sim.receivedClientEvents()) {
        const auto event = nlohmann::json::parse(text);
        if (event["type"] == "input_audio_buffer.commit")
            return pieces;
        if (event["type"] == "input_audio_buffer.append") {
            const std::string audio = event["audio"];
            const auto padding = static_cast<std::size_t>(std::count(audio.end() - 2, audio.end(), '='));
            pieces.push_back((audio.size() / 4 * 3 - padding) / 2);
        }
    }
    ADD_FAILURE() << "no commit";
    return pieces;
}

// The shipped sample at 24 kHz, and the most silence a commit at the file's
// end may take along: what the host's pipeline and a render step hold, at
// --fast's double speed; well under the old padding of 1.2 s and a wait.
constexpr std::size_t kSampleAt24k = 52859 * 3 / 2;
constexpr std::size_t kTailAt24k = 24000;

} // namespace

// The simulator answers with 2 s of synthetic voice; the reply file holds
// it from its first sound to its last, so a little less than 2 s.
constexpr double kAnswerSeconds = 2.0;

TEST(CliConverse, PlaysTheSampleAndWritesTheSpokenReply) {
    const std::string reply = scratch("reply.wav");
    const ToolRun run = runTool({"converse", "--fast", "-o", reply});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    const auto lines = run.outLines();
    // The conversation in order: what was heard, what was answered, the file.
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_TRUE(says(lines[0], "you: ")) << run.out;
    EXPECT_TRUE(says(lines[1], "assistant: ")) << run.out;
    EXPECT_EQ(lines[2].rfind("reply: " + reply + " (", 0), 0u) << run.out;

    const Reply r = readReply(reply);
    EXPECT_EQ(r.rate, 16000); // the sample's rate
    EXPECT_EQ(r.channels, 1);
    EXPECT_GT(r.seconds, kAnswerSeconds - 0.15);
    EXPECT_LT(r.seconds, kAnswerSeconds + 0.05);
    EXPECT_GT(r.rms, 0.01); // a voice, not silence
    std::remove(reply.c_str());
}

TEST(CliConverse, AnswersToolCallsFromCannedResultsAndCommitsTheWholeFileByHandWithoutTurnDetection) {
    orvanta::simulator::SimulatorOptions options;
    options.pacing = 0;
    orvanta::simulator::Simulator sim(options);
    sim.start();
    const std::string reply = scratch("tool-reply.wav");
    const ToolRun run = runTool({"converse", "--fast", "--turn-detection", "none", "--tools",
                                 ORVANTA_SAMPLES_DIR "/weather-tools.json", "--tool-results",
                                 ORVANTA_SAMPLES_DIR "/weather-results.json", "-o", reply, "--simulator",
                                 sim.realtimeUrl()});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    // The commit comes at the file's end and takes all of it, without
    // padding it with silence.
    const auto pieces = appendsBeforeCommit(sim);
    const std::size_t sent = std::accumulate(pieces.begin(), pieces.end(), std::size_t{0});
    EXPECT_GE(sent, kSampleAt24k);
    EXPECT_LT(sent, kSampleAt24k + kTailAt24k);
    const auto lines = run.outLines();
    ASSERT_EQ(lines.size(), 4u) << run.out;
    EXPECT_TRUE(says(lines[0], "you: ")) << run.out;
    EXPECT_EQ(lines[1].rfind("tool: get_weather {", 0), 0u) << run.out;
    EXPECT_NE(lines[1].find(R"(-> {"city":"Paris","sky":"sunny","temperature_c":21})"), std::string::npos);
    EXPECT_TRUE(says(lines[2], "assistant: ")) << run.out;
    const Reply r = readReply(reply);
    EXPECT_GT(r.seconds, kAnswerSeconds - 0.15);
    EXPECT_GT(r.rms, 0.01);
    std::remove(reply.c_str());
}

TEST(CliConverse, JsonPrintsEveryEventAsOneLineInOrder) {
    const std::string reply = scratch("json-reply.wav");
    const ToolRun run = runTool({"converse", "--fast", "--json", "-o", reply});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::vector<std::string> names;
    std::string deltas;
    std::string transcript;
    for (const auto& line : run.outLines()) {
        const auto event = nlohmann::json::parse(line); // every line, or this throws
        names.push_back(event.at("event"));
        if (names.back() == "responseTranscriptionDelta")
            deltas += event["data"]["delta"].get<std::string>();
        if (names.back() == "responseTranscription")
            transcript = event["data"]["transcript"];
    }
    auto at = [&](const std::string& name) { return std::find(names.begin(), names.end(), name) - names.begin(); };
    ASSERT_LT(at("sessionCreated"), static_cast<long>(names.size()));
    // The constructor's session may come up before the graph's start
    // replaces it: the session used is the last one created, after a start.
    auto last = [&](const std::string& name) {
        return names.rend() - std::find(names.rbegin(), names.rend(), name) - 1;
    };
    EXPECT_LT(last("sessionStarting"), last("sessionCreated"));
    EXPECT_LT(at("sessionCreated"), at("inputTranscription"));
    EXPECT_LT(at("responseCreated"), at("responseDone"));
    EXPECT_EQ(names.back(), "responseDone");
    EXPECT_FALSE(transcript.empty());
    EXPECT_EQ(deltas, transcript); // the stream adds up to the whole
    std::remove(reply.c_str());
}

TEST(CliConverse, TakesAStereoFileAtAnotherRateAndRepliesAtThatRate) {
    // The sample, sped up to 48 kHz and put into the left channel only.
    orvanta::cli::WavReader sample(ORVANTA_SAMPLES_DIR "/hello.wav");
    const auto mono = sample.readAll();
    const std::string input = scratch("stereo48k.wav");
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(input.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    std::vector<float> frames;
    for (float s : mono) {
        frames.push_back(s);
        frames.push_back(0.0f);
    }
    sf_writef_float(file, frames.data(), static_cast<sf_count_t>(mono.size()));
    sf_close(file);

    const std::string reply = scratch("stereo-reply.wav");
    const ToolRun run = runTool({"converse", input, "--fast", "-o", reply});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const Reply r = readReply(reply);
    EXPECT_EQ(r.rate, 48000);
    EXPECT_EQ(r.channels, 1);
    EXPECT_GT(r.seconds, kAnswerSeconds - 0.15);
    EXPECT_GT(r.rms, 0.01);
    std::remove(input.c_str());
    std::remove(reply.c_str());
}

TEST(CliTranscribe, SendsTheChosenPiecesCommitsTheWholeFileAndPrintsOneTranscriptPerCommit) {
    orvanta::simulator::SimulatorOptions options;
    options.pacing = 0;
    orvanta::simulator::Simulator sim(options);
    sim.start();
    ToolRun run = runTool({"transcribe", "--fast", "--chunk-ms", "100", "--simulator", sim.realtimeUrl()});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    auto lines = run.outLines();
    ASSERT_EQ(lines.size(), 1u) << run.out;
    EXPECT_FALSE(lines[0].empty());
    const auto pieces = appendsBeforeCommit(sim);
    ASSERT_FALSE(pieces.empty());
    EXPECT_EQ(std::count(pieces.begin(), pieces.end() - 1, std::size_t{2400}), pieces.end() - 1 - pieces.begin());
    EXPECT_LE(pieces.back(), 2400u); // what the commit flushed
    const std::size_t sent = std::accumulate(pieces.begin(), pieces.end(), std::size_t{0});
    EXPECT_GE(sent, kSampleAt24k);
    EXPECT_LT(sent, kSampleAt24k + kTailAt24k);

    // 3.3 s of input committed every 2 s: once on the way, once at the end.
    run = runTool({"transcribe", "--fast", "--commit-every", "2", "--json"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    int transcriptions = 0;
    for (const auto& line : run.outLines())
        transcriptions += nlohmann::json::parse(line).at("event") == "transcription";
    EXPECT_EQ(transcriptions, 2) << run.out;
}

TEST(CliErrors, EndWithOneClearLineAndAFailureStatus) {
    expectOneErrorLine(runTool({"converse", scratch("absent.wav")}), "No such file or directory");

    const std::string text = scratch("text.wav");
    std::ofstream(text) << "RIFF? no, just text\n";
    expectOneErrorLine(runTool({"transcribe", text}), "cannot read '" + text + "' as audio");
    std::remove(text.c_str());

    const ToolRun usage = runTool({"converse", "--speed", "9"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("--speed must be between 0.5 and 1.5"), std::string::npos) << usage.err;
    // A piece size the node refuses is a command line the tool cannot run.
    const ToolRun refused = runTool({"transcribe", "--chunk-ms", "15"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("Invalid inputChunkMs 15"), std::string::npos) << refused.err;

    // Nothing listens on this port any more.
    std::string closedUrl;
    {
        orvanta::simulator::Simulator gone(orvanta::simulator::SimulatorOptions{});
        gone.start();
        closedUrl = gone.realtimeUrl();
    }
    expectOneErrorLine(runTool({"converse", "--fast", "--simulator", closedUrl, "--connect-attempts", "2"}),
                       "no session after 2 attempts: Connection refused");
}

TEST(CliErrors, ARefusedKeyOrCredentialsEndTheRun) {
    orvanta::simulator::SimulatorOptions options;
    options.faults.refuseKey = true;
    orvanta::simulator::Simulator refusing(options);
    refusing.start();
    for (const bool token : {false, true}) {
        std::vector<std::string> args{"converse", "--fast", "--simulator", refusing.realtimeUrl(),
                                      "--connect-attempts", "1"};
        if (token)
            args.push_back("--token");
        const ToolRun run = runTool(args);
        expectOneErrorLine(run, "the service refused the key");
        EXPECT_NE(run.out.find("error: websocket_error"), std::string::npos) << run.out; // the node's event
    }

    // Credentials the token service does not know: no key at all.
    orvanta::simulator::SimulatorOptions strict;
    strict.appCredentials = {{"the-app", "the-secret"}};
    orvanta::simulator::Simulator tokenService(strict);
    tokenService.start();
    expectOneErrorLine(runTool({"transcribe", "--fast", "--simulator", tokenService.realtimeUrl(), "--token",
                                "--app-id", "the-app", "--app-secret", "wrong", "--connect-attempts", "1"}),
                       "token request failed");
}

TEST(CliErrors, ATokenReplyItCannotReadKeepsItsTokenOutOfEveryOutput) {
    const std::string canary = "ek_canary_5d1f";
    const std::vector<std::string> replies{
        "{\"success\":true,\"data\":{\"token\":\"" + canary,
        "<html><body>upstream sent " + canary + "</body></html>",
        "{\"success\":true,\"data\":{\"client_secret\":{\"value\":\"" + canary + "\"}}}",
    };
    for (const auto& reply : replies) {
        orvanta::simulator::SimulatorOptions options;
        options.tokenScript.assign(16, {std::chrono::milliseconds(0), 200, reply});
        orvanta::simulator::Simulator tokenService(options);
        tokenService.start();
        const std::string realtimeUrl = tokenService.realtimeUrl();
        for (const bool verbose : {false, true}) {
            std::vector<std::string> args{"transcribe", "--fast", "--simulator", realtimeUrl, "--token",
                                          "--connect-attempts", "1"};
            if (verbose)
                args.insert(args.end(), {"--verbose", "--json"});
            const ToolRun run = runTool(args);
            EXPECT_EQ(run.status, 1) << run.err;
            EXPECT_NE(run.err.find("token request failed: Failed to parse OpenAI token response: "),
                      std::string::npos)
                << run.err;
            EXPECT_EQ(run.out.find(canary), std::string::npos) << run.out;
            EXPECT_EQ(run.err.find(canary), std::string::npos) << run.err;
        }
    }
}
