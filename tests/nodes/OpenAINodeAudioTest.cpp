// The voice node's audio road on the host's side: playback threshold, tail,
// pause, clears and input overflow, driven block by block as a host would.
#include "NodeTestSupport.h"

#include "OrvantaSDK/AudioBuffer.h"
#include "OrvantaSDK/AudioBus.h"
#include "nodes/OpenAINode.h"
#include "realtime/RealtimeEndpoint.h"

#include <gtest/gtest.h>

#include <thread>

using namespace orvanta;
using namespace orvanta::extensions::openai;
using nodetest::LogCapture;

namespace {

constexpr int block = 240;
constexpr int16_t level = 16384; // plays as a non-zero constant

// A node in a 24 kHz mono graph: the resampler passes samples through, so
// output samples can be counted one for one against what was queued.
class Harness {
public:
    Harness() : node(OVAnyMap{{"apiKey", "sk-test"}}), in(1, block, 24000), out(1, block, 24000) {
        std::vector<AudioBusFormat> ins{AudioBusFormat(24000, 1)}, outs{AudioBusFormat(24000, 1)};
        EXPECT_TRUE(node.setBusFormats(ins, outs));
    }

    void queueResponse(int samples, const std::string& item = "item-1") {
        node.onResponseAudioReceived(std::vector<int16_t>(static_cast<size_t>(samples), level), item, 0);
    }

    // Runs `blocks` host blocks and returns how many output samples sounded.
    int run(int blocks, float micLevel = 0.0f) {
        int sounding = 0;
        for (int b = 0; b < blocks; ++b) {
            std::fill_n(in.getWritePointer(0), block, micLevel);
            AudioBus inBus(&in), outBus(&out);
            EXPECT_TRUE(node.process(inBus, outBus));
            const float* o = out.getReadPointer(0);
            for (int i = 0; i < block; ++i)
                sounding += o[i] != 0.0f;
        }
        return sounding;
    }

    OpenAINode node;
    AudioBuffer<float> in, out;
};

class OpenAINodeAudio : public ::testing::Test {
protected:
    void SetUp() override { setRealtimeEndpointOverride("ws://127.0.0.1:1/v1/realtime"); }
    void TearDown() override { clearRealtimeEndpointOverride(); }
};

} // namespace

TEST_F(OpenAINodeAudio, PlaysOnlyPastTheThresholdThenDownToTheLastSample) {
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
}

TEST_F(OpenAINodeAudio, AShortAnswerPlaysOnceTheResponseIsDone) {
    Harness h;
    h.queueResponse(6000); // 0.25 s: below the start threshold
    EXPECT_EQ(h.run(60), 0);
    h.node.onResponseDone("completed");
    EXPECT_EQ(h.run(60), 6000) << "nothing more will come: the whole answer plays";
}

TEST_F(OpenAINodeAudio, PauseHoldsTheBufferAndResumeReleasesIt) {
    Harness h;
    h.queueResponse(20000);
    const int before = h.run(10);
    EXPECT_EQ(before, 10 * block - 239) << "the first blocks sound after the resampler's gathering delay";
    ASSERT_TRUE(h.node.callAction("pauseOutput", OVAnyMap()).hasValue());
    const int whilePaused = h.run(50);
    EXPECT_LT(whilePaused, block) << "only what the resampler already held";
    h.queueResponse(3000); // keeps filling while paused
    ASSERT_TRUE(h.node.callAction("resumeOutput", OVAnyMap()).hasValue());
    EXPECT_EQ(before + whilePaused + h.run(200), 23000) << "nothing is lost across a pause";
}

TEST_F(OpenAINodeAudio, ClearOutputDropsWhatWasQueuedBeforeIt) {
    Harness h;
    h.queueResponse(40000);
    h.run(10);
    ASSERT_TRUE(h.node.callAction("clearOutputBuffer", OVAnyMap()).hasValue());
    EXPECT_LT(h.run(100), block) << "only what the resampler already held plays after the clear";

    // Audio queued after the clear is kept and must pass the threshold anew.
    h.queueResponse(12001);
    EXPECT_EQ(h.run(100), 12001);
}

TEST_F(OpenAINodeAudio, ClearFromAnotherThreadWhileThePlayerRuns) {
    Harness h;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 0; i < 200; ++i) {
            h.queueResponse(2400);
            if (i % 7 == 0)
                h.node.callAction("clearOutputBuffer", OVAnyMap());
            std::this_thread::yield();
        }
        done = true;
    });
    while (!done)
        h.run(5);
    producer.join();
    ASSERT_TRUE(h.node.callAction("clearOutputBuffer", OVAnyMap()).hasValue());
    h.run(2);
    EXPECT_EQ(h.run(50), 0) << "nothing queued before the last clear plays";
}

TEST_F(OpenAINodeAudio, ResponseChunksThatDoNotFitAreDroppedWhole) {
    LogCapture log;
    Harness h;
    h.queueResponse(1440000 - 100);
    h.queueResponse(100); // exactly the free space: refused
    EXPECT_EQ(log.count("[OpenAINode] Response audio buffer is full, dropping audio data."), 1);
    h.queueResponse(99);
    EXPECT_EQ(log.count("[OpenAINode] Response audio buffer is full, dropping audio data."), 1);

    h.node.onResponseAudioReceived({}, "other-item", 0);
    EXPECT_EQ(log.count("[OpenAINode] Received empty audio data from OpenAI."), 1);
    EXPECT_EQ(log.countPrefix("[OpenAINode] onResponseAudioReceived: currentItemId 'item-1' -> "), 0)
        << "an empty chunk does not change the item";
    EXPECT_EQ(log.lastWithPrefix("[OpenAINode] Response audio buffer duration: "),
              "[OpenAINode] Response audio buffer duration: 59.999958 seconds.");
}

TEST_F(OpenAINodeAudio, InputOverflowIsReportedOncePerEpisode) {
    LogCapture log;
    Harness h;
    // Nothing is sent while disconnected: 48,000 samples fill the buffer.
    h.run(200, 0.25f);
    EXPECT_EQ(log.count("[OpenAINode] Input audio buffer is full, started dropping audio data."), 0);
    h.run(30, 0.25f);
    EXPECT_EQ(log.count("[OpenAINode] Input audio buffer is full, started dropping audio data."), 1);

    // Clearing frees the room (the sender applies the clear on its next run).
    EXPECT_TRUE(h.node.callAction("clearInputBuffer", OVAnyMap()).hasError());
    ASSERT_TRUE(nodetest::eventually([&] {
        h.run(1, 0.25f);
        return log.count("[OpenAINode] Input audio buffer has space again, resuming audio data sending.") == 1;
    })) << "the sender applies a pending clear even while disconnected";
    h.run(150, 0.25f);
    EXPECT_EQ(log.count("[OpenAINode] Input audio buffer is full, started dropping audio data."), 1)
        << "a new episode has not started yet";
}
