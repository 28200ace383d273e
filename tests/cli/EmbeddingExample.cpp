// The embedding example of the README, compiled and run here against the
// simulator so that the README cannot drift from what works. The README
// quotes the part between the two markers; the last test checks that it
// still does, word for word.

// [embedding-example]
#include "OrvantaSDK/AudioNode.h"
#include "OrvantaSDK/ExtensionManager.h"
#include "OrvantaSDK/OfflineRenderer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

// Speaks `speech` (mono, 16 kHz) to the voice node and returns the
// transcript of its spoken answer ("" when none came within 30 s).
std::string askOnce(const std::string& apiKey, const std::vector<float>& speech) {
    using namespace orvanta;
    // The library registered its extension with the host when it was loaded.
    auto extension = ExtensionManager::getInstance().findExtension("OpenAI");
    std::unique_ptr<Node> node = extension->getNodeFactory()->createNode(
        "OpenAI.Realtime", {{"apiKey", apiKey}, {"voice", "marin"}, {"instructions", "Answer briefly."}});

    // Events come on the node's own session thread.
    std::mutex mutex;
    std::condition_variable changed;
    bool connected = false;
    std::string answer;
    const auto listener = node->addEventListener(EventEmitter::AllEvents, [&](const std::string& name,
                                                                              const OVAnyMap& data) {
        std::lock_guard<std::mutex> lock(mutex);
        if (name == "sessionCreated")
            connected = true;
        if (name == "responseTranscription")
            answer = data.at("transcript").convert<std::string>();
        changed.notify_all();
    });

    // The host's audio thread calls the node's process for every block; here
    // the SDK's offline renderer does, in real time, at 16 kHz mono.
    OfflineRenderer renderer(dynamic_cast<AudioNode&>(*node), {16000, 160, 1});
    renderer.start();
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return connected; });
    lock.unlock();
    std::size_t position = 0;
    renderer.startRealtime(
        [&](float* block, int frames) {
            // The speech, then silence, so that the service hears the turn end.
            for (int i = 0; i < frames; ++i, ++position)
                block[i] = position < speech.size() ? speech[position] : 0.0f;
            return true;
        },
        nullptr);

    lock.lock();
    changed.wait_for(lock, std::chrono::seconds(30), [&] { return !answer.empty(); });
    const std::string result = answer;
    lock.unlock();
    renderer.stop();
    node->removeEventListener(listener); // before the locals it uses are gone
    return result;
}
// [embedding-example]

#include "realtime/RealtimeEndpoint.h"
#include "tools/cli/WavReader.h"
#include "tools/simulator/Simulator.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lines strictly between the two markers.
std::string exampleRegion(const std::string& text) {
    const std::string marker = "// [embedding-example]\n";
    const auto begin = text.find(marker);
    const auto end = text.find(marker, begin + marker.size());
    if (begin == std::string::npos || end == std::string::npos)
        return {};
    return text.substr(begin + marker.size(), end - begin - marker.size());
}

} // namespace

TEST(EmbeddingExample, GetsASpokenAnswer) {
    orvanta::simulator::SimulatorOptions options;
    options.responseText = "It is sunny in Paris.";
    options.pacing = 0;
    orvanta::simulator::Simulator simulator(options);
    simulator.start();
    orvanta::extensions::openai::setRealtimeEndpointOverride(simulator.realtimeUrl());

    orvanta::cli::WavReader sample(ORVANTA_SAMPLES_DIR "/hello.wav");
    ASSERT_EQ(sample.getSampleRate(), 16000);
    EXPECT_EQ(askOnce("test-key", sample.readAll()), "It is sunny in Paris.");
    orvanta::extensions::openai::clearRealtimeEndpointOverride();
}

TEST(EmbeddingExample, TheReadmeQuotesItWordForWord) {
    const std::string example = exampleRegion(readText(ORVANTA_EMBEDDING_EXAMPLE));
    ASSERT_FALSE(example.empty());
    const std::string readme = readText(ORVANTA_README);
    EXPECT_NE(readme.find("```cpp\n" + example + "```\n"), std::string::npos)
        << "README.md must quote the example between the markers of " << ORVANTA_EMBEDDING_EXAMPLE << " exactly";
}
