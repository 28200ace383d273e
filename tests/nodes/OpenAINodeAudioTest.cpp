// The nodes' audio road: playback and buffers driven block by block as a
// host would; then, against the simulator, what a barge-in cuts and what
// reaches the service of the microphone at each input chunk size.
#include "NodeTestSupport.h"

#include "nodes/OpenAINode.h"
#include "utils/Base64.h"
#include "utils/Conversion.h"

#include <future>

using namespace orvanta;
using namespace orvanta::extensions::openai;
using namespace nodetest;

namespace {

constexpr int block = 240;
constexpr int16_t level = 16384; // plays as a non-zero constant

// A node in a 24 kHz mono graph: the resampler passes samples through, so
// output samples can be counted one for one against what was queued.
class Harness {
public:
    Harness() : node(OVAnyMap{{"apiKey", "sk-test"}}), host(node, 24000, block) {}

    void queueResponse(int samples, const std::string& item = "item-1") {
        node.onResponseAudioReceived(std::vector<int16_t>(static_cast<size_t>(samples), level), item, 0);
    }

    // Runs `blocks` host blocks and returns how many output samples sounded.
    int run(int blocks, float micLevel = 0.0f) {
        int sounding = 0;
        for (int b = 0; b < blocks; ++b) {
            EXPECT_TRUE(host.process(micLevel));
            for (int i = 0; i < block; ++i)
                sounding += host.output()[i] != 0.0f;
        }
        return sounding;
    }

    OpenAINode node;
    HostAudio host;
};

using OpenAINodeAudio = OfflineTest;

} // namespace

TEST_F(OpenAINodeAudio, PlaybackThresholdTailPauseAndClear) {
    Harness h;
    h.queueResponse(12000);
    EXPECT_EQ(h.run(100), 0) << "12,000 samples are not enough to start";
    h.queueResponse(1);
    EXPECT_EQ(h.run(60), 12001) << "once started, every queued sample plays, the tail included";
    EXPECT_EQ(h.run(10), 0);

    // Below the threshold again after running dry: waits once more.
    h.queueResponse(5000);
    EXPECT_EQ(h.run(40), 0);
    h.queueResponse(7001);
    EXPECT_EQ(h.run(60), 12001);

    // A short answer plays once nothing more will come.
    h.queueResponse(6000);
    EXPECT_EQ(h.run(60), 0);
    h.node.onResponseDone("completed");
    EXPECT_EQ(h.run(60), 6000);

    h.queueResponse(20000);
    const int before = h.run(10);
    EXPECT_EQ(before, 10 * block - 239) << "the first blocks sound after the resampler's gathering delay";
    ASSERT_TRUE(h.node.callAction("pauseOutput", OVAnyMap()).hasValue());
    const int whilePaused = h.run(50);
    EXPECT_LT(whilePaused, block) << "only what the resampler already held";
    h.queueResponse(3000); // keeps filling while paused
    ASSERT_TRUE(h.node.callAction("resumeOutput", OVAnyMap()).hasValue());
    EXPECT_EQ(before + whilePaused + h.run(200), 23000) << "nothing is lost across a pause";

    h.queueResponse(40000);
    h.run(10);
    ASSERT_TRUE(h.node.callAction("clearOutputBuffer", OVAnyMap()).hasValue());
    EXPECT_LT(h.run(100), block) << "only what the resampler already held plays after the clear";
    h.queueResponse(12001); // kept, and must pass the threshold anew
    EXPECT_EQ(h.run(100), 12001);
}

TEST_F(OpenAINodeAudio, FullBuffersDropWholeChunksAndReportOncePerEpisode) {
    LogCapture log;
    Harness h;
    const std::string full = "[OpenAINode] Response audio buffer is full, dropping audio data.";
    h.queueResponse(1440000 - 100);
    h.queueResponse(100); // exactly the free space: refused
    EXPECT_EQ(log.count(full), 1);
    h.queueResponse(99);
    EXPECT_EQ(log.count(full), 1);
    h.node.onResponseAudioReceived({}, "other-item", 0);
    EXPECT_EQ(log.count("[OpenAINode] Received empty audio data from OpenAI."), 1);
    EXPECT_EQ(log.countPrefix("[OpenAINode] onResponseAudioReceived: currentItemId 'item-1' -> "), 0)
        << "an empty chunk does not change the item";
    EXPECT_EQ(log.lastWithPrefix("[OpenAINode] Response audio buffer duration: "),
              "[OpenAINode] Response audio buffer duration: 59.999958 seconds.");

    // Nothing is sent while disconnected: 48,000 input samples fill the buffer.
    const std::string inputFull = "[OpenAINode] Input audio buffer is full, started dropping audio data.";
    h.run(200, 0.25f);
    EXPECT_EQ(log.count(inputFull), 0);
    h.run(30, 0.25f);
    EXPECT_EQ(log.count(inputFull), 1);
    // Clearing frees the room (the sender applies the clear on its next run).
    EXPECT_TRUE(h.node.callAction("clearInputBuffer", OVAnyMap()).hasError());
    ASSERT_TRUE(eventually([&] {
        h.run(1, 0.25f);
        return log.count("[OpenAINode] Input audio buffer has space again, resuming audio data sending.") == 1;
    })) << "the sender applies a pending clear even while disconnected";
    h.run(150, 0.25f);
    EXPECT_EQ(log.count(inputFull), 1) << "a new episode has not started yet";
}

// --- Against the simulator ------------------------------------------------------

namespace {

// Response audio as the service sends it: 100 ms per message.
void sendAudio(simulator::Simulator& simulator, const std::string& item, int samples) {
    for (int sent = 0; sent < samples; sent += 2400) {
        const std::vector<int16_t> pcm(static_cast<size_t>(std::min(2400, samples - sent)), level);
        const auto delta = base64::Base64::encode(reinterpret_cast<const uint8_t*>(pcm.data()), pcm.size() * 2);
        ASSERT_EQ(simulator.sendToAll(json{{"type", "response.output_audio.delta"}, {"item_id", item},
                                           {"content_index", 0}, {"delta", delta}}.dump()),
                  1u);
    }
}

class OpenAINodeAudioAgainstSimulator : public SimulatorTest {};

// Feeds signal[from, from + count) to a node in 24 kHz host blocks, at four
// times real time.
void feed(HostAudio& host, const std::vector<float>& signal, size_t from, size_t count) {
    const auto start = std::chrono::steady_clock::now();
    for (size_t done = 0; done < count; done += block) {
        ASSERT_TRUE(host.process(signal.data() + from + done));
        std::this_thread::sleep_until(start + std::chrono::microseconds(2500) * (done / block + 1));
    }
}

// The appended audio the service received, split at each commit.
struct Turn {
    std::vector<int16_t> audio;
    std::vector<size_t> appendSizes;
};
std::vector<Turn> committedTurns(const std::vector<std::string>& events) {
    std::vector<Turn> turns(1);
    for (const auto& text : events) {
        const json e = json::parse(text);
        if (e["type"] == "input_audio_buffer.commit") {
            turns.emplace_back();
        } else if (e["type"] == "input_audio_buffer.append") {
            const auto bytes = base64::Base64::decode(e["audio"].get<std::string>());
            const auto* samples = reinterpret_cast<const int16_t*>(bytes.data());
            turns.back().audio.insert(turns.back().audio.end(), samples, samples + bytes.size() / 2);
            turns.back().appendSizes.push_back(bytes.size() / 2);
        }
    }
    turns.pop_back(); // audio after the last commit
    return turns;
}

} // namespace

// The release of a short answer at "response.done" must not reach the next
// response, which begins at once: that one waits for its threshold, even when
// the node's event thread is slow.
TEST_F(OpenAINodeAudioAgainstSimulator, AShortAnswerFollowedAtOnceByALongOneLetsTheLongOneWait) {
    LogCapture log;
    Harness h;
    EventRecorder events(h.node);
    ASSERT_TRUE(waitForClientEvent("session.update"));
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    const auto listener = h.node.addEventListener("responseCreated", [&](const std::string&, const OVAnyMap&) {
        if (first.exchange(false))
            released.wait(); // holds the event thread while the responses arrive
    });
    const std::string created = R"({"type":"response.created","response":{}})";
    simulator->sendToAll(created);
    sendAudio(*simulator, "short", 6000);
    simulator->sendToAll(R"({"type":"response.done","response":{"status":"completed"}})");
    simulator->sendToAll(created);
    sendAudio(*simulator, "long", 12000);
    EXPECT_TRUE(eventually(
        [&] { return log.countPrefix("[OpenAINode] Received audio data from OpenAI with ") == 8; }));
    release.set_value();
    ASSERT_TRUE(events.waitFor("responseDone"));
    EXPECT_EQ(h.run(100), 0) << "12,000 samples of the long answer: not yet";
    sendAudio(*simulator, "long", 1);
    // Handled once a transcript delta sent after it reaches the application.
    simulator->sendToAll(R"({"type":"response.output_audio_transcript.delta","delta":"."})");
    ASSERT_TRUE(events.waitFor("responseTranscriptionDelta"));
    EXPECT_EQ(h.run(100), 12001);
    h.node.removeEventListener(listener);
}

// Whatever the chunk, everything fed reaches the service once and in order,
// without an overflow, and a commit goes out after all the audio fed before
// it (push-to-talk: the end of the utterance belongs to its turn).
TEST_F(OpenAINodeAudioAgainstSimulator, EveryChunkSizeDeliversAllAudioAndCommitsWhatCameBefore) {
    // Neighbouring samples all differ: a lost, doubled or misplaced block shows.
    std::vector<float> signal(72000);
    for (size_t i = 0; i < signal.size(); ++i)
        signal[i] = static_cast<float>((i * 7919) % 65521) / 65521.0f * 1.6f - 0.8f;
    std::vector<int16_t> expected(signal.size());
    conversion::floatToShortInt(signal.data(), expected.data(), static_cast<unsigned int>(signal.size()));

    for (const std::string type : {"OpenAI.Realtime", "OpenAI.RealtimeTranscribe"}) {
        for (int ms : {20, 100, 990, 1000}) {
            SCOPED_TRACE(type + " inputChunkMs " + std::to_string(ms));
            LogCapture log;
            simulator->clearReceivedClientEvents();
            OVAnyMap config{{"apiKey", "sk-test"}, {"inputChunkMs", ms}};
            if (type == "OpenAI.Realtime")
                config.set("turnDetection", "none");
            auto node = makeNode(type, config);
            HostAudio host(dynamic_cast<AudioNode&>(*node), 24000, block);
            EventRecorder events(*node);
            ASSERT_TRUE(waitForClientEvent("session.update"));

            feed(host, signal, 0, 60000);
            ASSERT_TRUE(node->callAction("commitAudioBuffer", OVAnyMap()).hasValue());
            ASSERT_TRUE(waitForClientEvent("input_audio_buffer.commit", 1));
            feed(host, signal, 60000, 12000);
            ASSERT_TRUE(node->callAction("commitAudioBuffer", OVAnyMap()).hasValue());
            ASSERT_TRUE(waitForClientEvent("input_audio_buffer.commit", 2));

            const auto turns = committedTurns(simulator->receivedClientEvents());
            ASSERT_EQ(turns.size(), 2u);
            EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 60000, turns[0].audio.begin(), turns[0].audio.end()))
                << turns[0].audio.size() << " samples before the first commit (2.5 s)";
            EXPECT_TRUE(std::equal(expected.begin() + 60000, expected.end(), turns[1].audio.begin(), turns[1].audio.end()))
                << turns[1].audio.size() << " samples before the second (0.5 s)";
            for (const Turn& turn : turns)
                for (size_t i = 0; i + 1 < turn.appendSizes.size(); ++i)
                    EXPECT_EQ(turn.appendSizes[i], static_cast<size_t>(ms) * 24) << "whole chunks until the commit";
            // Each commit asks the service to answer the turn, or, in a
            // transcription session, for its transcript and nothing more.
            if (type == "OpenAI.Realtime") {
                EXPECT_TRUE(waitForClientEvent("response.create", 2));
            } else {
                ASSERT_TRUE(events.waitFor("transcription", 2));
                EXPECT_GE(events.count("transcriptionDelta"), 1);
                EXPECT_EQ(events.named("transcription").front().get("transcript"), "What is the weather?");
                EXPECT_EQ(clientEvents("response.create").size(), 0u);
            }
            EXPECT_EQ(log.countPrefix("[OpenAINode] Input audio buffer is full") +
                          log.countPrefix("[OpenAITranscribeNode] Input audio buffer full"), 0);
        }
    }
}

// The simulator answers in two items of 1.0 s each, streamed as the service
// does or all at once; the user speaks 0.5 s into the item he hears. The
// truncate names that item with what was heard of it alone, and the service
// accepts it (it refuses a cut past the audio it sent of the item).
TEST_F(OpenAINodeAudioAgainstSimulator, BargeInNamesTheItemBeingHeardWithWhatWasHeardOfIt) {
    // Samples heard when the user speaks, and which item he hears then.
    for (const auto& [pacing, heardSamples, item] : {std::tuple{1.0, 36000, 1}, std::tuple{0.0, 12000, 0}}) {
        SCOPED_TRACE(pacing > 0 ? "the second item streamed while the first plays" : "both items at once");
        simulator::SimulatorOptions options;
        options.audioItemsPerResponse = 2;
        options.pacing = pacing;
        options.responseDelay = 20ms;
        simulator = std::make_unique<simulator::Simulator>(options);
        simulator->start();
        pointAt(*simulator);
        LogCapture log;
        Harness h;
        EventRecorder events(h.node);
        ASSERT_TRUE(waitForClientEvent("session.update"));
        ASSERT_TRUE(h.node.callAction("createResponse", OVAnyMap()).hasValue());
        // Played in real time, so that streamed audio arrives as it would. The
        // voice has silent gaps: what was heard counts from its first sound (the
        // resampler's delay of one block at the output is the tolerance).
        long position = 0, firstSound = -1;
        const auto start = std::chrono::steady_clock::now();
        for (int b = 0; firstSound < 0 || position - firstSound + block <= heardSamples; ++b) {
            ASSERT_LT(b, 1000) << "the answer did not play";
            std::this_thread::sleep_until(start + std::chrono::milliseconds(10) * b);
            h.run(1);
            for (int i = 0; i < block && firstSound < 0; ++i)
                if (h.host.output()[i] != 0.0f)
                    firstSound = position + i - 1; // the voice begins with one zero
            position += block;
        }
        ASSERT_EQ(simulator->sendToAll(R"({"type":"input_audio_buffer.speech_started","audio_start_ms":0})"), 1u);
        ASSERT_TRUE(waitForClientEvent("conversation.item.truncate"));
        const json truncate = clientEvents("conversation.item.truncate").front();

        std::vector<std::string> items; // in arrival order, from the node's log
        for (const auto& line : log.startingWith("[OpenAINode] onResponseAudioReceived: currentItemId '"))
            items.push_back(line.substr(line.find("-> '") + 4, line.size() - line.find("-> '") - 6));
        ASSERT_EQ(items.size(), 2u);
        EXPECT_EQ(truncate["item_id"], items[static_cast<size_t>(item)]);
        EXPECT_NEAR(truncate["audio_end_ms"].get<int>(), 500, 10);
        EXPECT_TRUE(eventually([&] {
            return log.count("[OpenAIWebSocketClient] Unknown message type: conversation.item.truncated") == 1;
        })) << "the service accepts the cut";
        EXPECT_EQ(events.count("error"), 0);
    }
}
