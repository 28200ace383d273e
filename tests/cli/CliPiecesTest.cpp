// The tool's parts that decide what a run means: the command line, the
// session give-up policy, the console's styles, tool answers, and the audio
// files in and out.
#include "tools/cli/CommandLine.h"
#include "tools/cli/ConsoleOutput.h"
#include "tools/cli/InputFeeder.h"
#include "tools/cli/ReplyRecorder.h"
#include "tools/cli/SessionMonitor.h"
#include "tools/cli/ToolAnswers.h"
#include "tools/cli/WavReader.h"
#include "tools/cli/WavWriter.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace orvanta;
using namespace orvanta::cli;

namespace {

CliOptions parse(std::vector<std::string> args) {
    args.insert(args.begin(), "orvanta-openai");
    return parseCommandLine(args);
}

std::string tempPath(const std::string& name) {
    return testing::TempDir() + "cli_pieces_" + std::to_string(getpid()) + "_" + name;
}

} // namespace

TEST(CommandLine, ParsesEachCommandsOptionsAndRefusesWhatCannotRun) {
    const auto c = parse({"converse", "in.wav", "--voice", "marin", "--speed", "1.25", "--turn-detection", "none",
                          "--tools", "t.json", "--tool-results", "r.json", "-o", "out.wav", "--fast", "--json"});
    EXPECT_EQ(c.command, CliOptions::Command::Converse);
    EXPECT_EQ(c.input + c.voice.value_or("") + c.turnDetection + c.toolsFile + c.toolResultsFile + c.output,
              "in.wavmarinnonet.jsonr.jsonout.wav");
    EXPECT_FLOAT_EQ(c.speed.value_or(0), 1.25f);
    EXPECT_TRUE(c.fast && c.json);
    EXPECT_FALSE(c.instructions.has_value()); // unset stays the node's default
    const auto t = parse({"transcribe", "--commit-every", "3", "--language", "en", "--chunk-ms", "100"});
    EXPECT_EQ(t.command, CliOptions::Command::Transcribe);
    EXPECT_EQ(t.commitEverySeconds, 3.0);
    EXPECT_EQ(t.inputChunkMs.value_or(0), 100.0f);
    EXPECT_EQ(t.input, defaultSamplePath()); // no file: the shipped sample
    EXPECT_EQ(parse({"converse", "--help"}).command, CliOptions::Command::Help);

    // Command lines the tool must refuse with a usage error.
    const auto refused = nlohmann::json::parse(std::ifstream(ORVANTA_CLI_TEST_DATA "/usage-errors.json"));
    EXPECT_EQ(refused.size(), 18u);
    for (const auto& args : refused)
        EXPECT_THROW(parse(args.get<std::vector<std::string>>()), UsageError) << args;
}

TEST(SessionMonitor, GivesUpOnlyWhenItShouldAndSaysWhy) {
    for (const auto& scenario : nlohmann::json::parse(std::ifstream(ORVANTA_CLI_TEST_DATA "/session-monitor.json"))) {
        SCOPED_TRACE(scenario["why"].get<std::string>());
        const auto t0 = SessionMonitor::Clock::now();
        SessionMonitor m(scenario["attempts"], std::chrono::seconds(scenario["timeout"].get<int>()), t0);
        for (const auto& step : scenario["steps"]) {
            const std::string what = step[0];
            const auto at = [&] { return t0 + std::chrono::seconds(step[1].get<int>()); };
            if (what == "failure?")
                EXPECT_EQ(m.failure(at()), step[2]);
            else if (what == "describe?")
                EXPECT_EQ(m.describe(), step[1]);
            else if (what == "giveUpAt?")
                EXPECT_EQ(m.giveUpAt(), step[1].is_null() ? SessionMonitor::Clock::time_point::max() : at());
            else if (what == "serviceErrors?")
                EXPECT_EQ(std::to_string(m.getServiceErrorCount()) + " " + m.getLastServiceError(),
                          std::to_string(step[1].get<int>()) + " " + step[2].get<std::string>());
            else { // the tool's events carry strings only
                OVAnyMap data;
                for (const auto& [key, value] : step[2].items())
                    data.set(key, value.get<std::string>());
                m.onEvent(what, data, at());
            }
        }
    }
}

TEST(ConsoleOutput, EachStyleWritesWhatItsReaderNeeds) {
    std::ostringstream plain, live, json;
    ConsoleOutput p(plain, ConsoleOutput::Style::Plain), i(live, ConsoleOutput::Style::Interactive),
        j(json, ConsoleOutput::Style::Json);
    for (ConsoleOutput* c : {&p, &i, &j}) {
        c->transcriptDelta("assistant", "Sun");
        c->transcriptDelta("assistant", "ny.");
        c->transcriptDone("assistant", "Sunny.");
        c->transcriptDelta("you", "What");
        c->transcriptDelta("assistant", "It");  // another speaker cuts in
        c->transcriptDone("you", "What now?"); // shown whole, not as fragments
        c->transcriptDone("assistant", "It is.");
        c->result("tool: f {} -> {}");
        c->jsonEvent("toolCall", {{"callId", "c1"}, {"argumentsJson", "{\"a\":\"\\n\"}"}}, 1.23456);
        c->progress("sent 1.0 s");
        c->status("session: created");
        c->finish();
    }
    EXPECT_EQ(plain.str(), "assistant: Sunny.\nyou: What now?\nassistant: It is.\ntool: f {} -> {}\n");
    EXPECT_EQ(live.str(), "assistant: Sunny.\nyou: What\nassistant: It\nyou: What now?\nassistant: It is.\n"
                          "tool: f {} -> {}\n\r\033[Ksent 1.0 s\r\033[Ksession: created\n");
    // One line, one object, nothing else (a second line would not parse).
    EXPECT_EQ(nlohmann::json::parse(json.str()),
              nlohmann::json::parse(R"({"event":"toolCall","data":{"callId":"c1","argumentsJson":"{\"a\":\"\\n\"}"},"t":1.234})"))
        << json.str();
}

TEST(ToolAnswers, AnswersKnownToolsTellsTheModelAboutUnknownOnesAndKeepsDefinitions) {
    const auto answers = ToolAnswers::parse(R"({"get_weather": {"sky": "sunny", "c": 21}, "ping": "pong"})", "test");
    EXPECT_EQ(answers.answerFor("get_weather").json, R"({"c":21,"sky":"sunny"})");
    EXPECT_TRUE(answers.answerFor("ping").found);
    EXPECT_EQ(answers.answerFor("ping").json, "\"pong\"");
    const auto missing = answers.answerFor("book \"flight\"");
    EXPECT_FALSE(missing.found);
    EXPECT_EQ(nlohmann::json::parse(missing.json)["error"], "no result for tool 'book \"flight\"'");
    EXPECT_THROW(ToolAnswers::parse("[1]", "test"), std::runtime_error);
    EXPECT_THROW(ToolAnswers::parse("{", "test"), std::runtime_error);
    EXPECT_THROW(ToolAnswers::load(tempPath("absent.json")), std::runtime_error);

    const std::string text =
        R"([{"type":"function","name":"f","parameters":{"type":"object","required":["city"],"strict":true,"max":3}}])";
    const OVAnyVector tools = ToolAnswers::parseDefinitions(text, "test");
    // What the node sends is the host values' JSON: it must say the same.
    EXPECT_EQ(nlohmann::json::parse(OVAnyVector::vectorToJson(tools)), nlohmann::json::parse(text));
    EXPECT_THROW(ToolAnswers::parseDefinitions(R"({"type":"function"})", "test"), std::runtime_error);
    EXPECT_THROW(ToolAnswers::parseDefinitions(R"(["f"])", "test"), std::runtime_error);
}

// The reply is written without the silence around it but with its inner pauses, and losses are counted; the
// input file is held while the node cannot take it, and a drop that hit it is noticed.
TEST(AudioFiles, TheReplyLosesOnlyOuterSilenceAndTheInputWaitsForTheNode) {
    const std::string out = tempPath("reply.wav");
    ReplyRecorder recorder(16000, 1.0, false);
    WavWriter writer(out, 16000);
    std::vector<float> silent(160, 0.0f), early(160, 0.0f), late(160, 0.0f);
    early[100] = 0.5f;
    late[9] = -2.0f; // past full scale: clipped, not wrapped
    recorder.push(silent.data(), 160);
    recorder.push(early.data(), 160);
    recorder.drainTo(writer);
    for (const auto* block : {&silent, &late, &silent})
        recorder.push(block->data(), 160);
    recorder.drainTo(writer);
    writer.close();
    EXPECT_EQ(recorder.getSoundFrames(), 320); // two blocks with sound
    EXPECT_EQ(recorder.getLostFrames(), 0);
    const auto reply = WavReader(out).readAll(); // from the first sound to the last: 60 + 160 + 10 frames
    ASSERT_EQ(reply.size(), 230u);
    EXPECT_NEAR(reply.front(), 0.5f, 1e-4);
    EXPECT_LT(reply.back(), -0.99f);
    EXPECT_THROW(WavWriter(tempPath("no-such-dir/x.wav"), 16000), std::runtime_error);
    std::remove(out.c_str());

    ReplyRecorder small(1000, 0.2, true); // room for 200 frames; what is not taken in time is counted
    small.push(early.data(), 150);
    small.push(early.data(), 150);
    EXPECT_EQ(small.getLostFrames(), 150);

    // The input feeder: a 250-frame ramp at 1 kHz (frame k holds k/1000) fed in 100-frame blocks.
    const std::string path = tempPath("ramp.wav");
    std::vector<float> block(250);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<float>(i + 1) / 1000.0f;
    WavWriter(path, 1000).write(block.data(), 250);
    WavReader reader(path), again(path);
    InputFeeder feeder(reader), quiet(again);
    auto fill = [&](InputFeeder& f) { return f.fill(block.data(), 100) ? std::lround(block[0] * 1000) : -1; };
    EXPECT_EQ(fill(feeder), 0); // no session yet: silence, the file held
    EXPECT_EQ(feeder.getFileFramesFed(), 0);
    feeder.setGate(true);
    EXPECT_EQ(fill(feeder), 1);
    feeder.noteInputOverflow(true); // the node drops right after file audio: reported, and the file waits
    EXPECT_TRUE(feeder.wasFileAudioDropped());
    EXPECT_EQ(fill(feeder), 0);
    feeder.noteInputOverflow(false);
    EXPECT_EQ(fill(feeder), 101); // resumes where it stopped
    EXPECT_EQ(fill(feeder), 201);
    EXPECT_TRUE(feeder.isFileDone());
    EXPECT_EQ(feeder.getFileFramesFed(), 250);
    EXPECT_EQ(feeder.getFramesAfterFile(), 50);
    EXPECT_EQ(block[50], 0.0f);
    EXPECT_FALSE(feeder.isFileThroughNode()); // a commit waits for 150 ms of silence to carry the end through
    fill(feeder);
    EXPECT_TRUE(feeder.isFileThroughNode());
    feeder.stop();
    EXPECT_EQ(fill(feeder), -1);

    quiet.setGate(true); // a drop three blocks after the last file block hit only silence
    for (int i = 0; i < 6; ++i)
        fill(quiet);
    quiet.noteInputOverflow(true);
    EXPECT_FALSE(quiet.wasFileAudioDropped());
    std::remove(path.c_str());
}
