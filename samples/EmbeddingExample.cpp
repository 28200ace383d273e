// The README's embedding example: how an application drives the voice node.
// The test suite compiles it and runs it against the simulator, so that the
// README cannot drift from what works.

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
