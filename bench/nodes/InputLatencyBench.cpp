// What the input chunk size buys and costs, measured against the local
// simulator with a voice node driven in real time (48 kHz, 10 ms blocks, as a
// host's audio thread would):
//
// 1. Latency: from the moment a sample enters process to the moment the
//    simulator has read the append that carries it; mean and 95th percentile.
// 2. End of turn with server voice activity detection: from the moment the
//    first silent sample after speech enters process to the moment the client
//    reads "input_audio_buffer.speech_stopped". The simulator's detector
//    itself waits for 500 ms of silence.
// 3. Cost: CPU time and voluntary context switches of a conversation minute
//    (turns of speech, answers played): for the node's side alone, with the
//    simulator in a child process, and for the whole process with the
//    simulator inside it, as the command-line tool runs by default.
//
//   nodes_input_latency_bench [latencySeconds=10] [turns=4] [conversationSeconds=60]
#include "OrvantaSDK/AudioBuffer.h"
#include "OrvantaSDK/AudioBus.h"
#include "OrvantaSDK/Logger.h"
#include "nodes/OpenAINode.h"
#include "realtime/RealtimeEndpoint.h"
#include "tools/simulator/Simulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace orvanta;
using namespace orvanta::extensions::openai;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int hostRate = 48000;
constexpr int hostBlock = 480; // 10 ms

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A voice node with its session up.
std::unique_ptr<OpenAINode> openNode(const std::string& url, int chunkMs, const char* turnDetection) {
    setRealtimeEndpointOverride(url);
    auto node = std::make_unique<OpenAINode>(
        OVAnyMap{{"apiKey", "sk-bench"}, {"inputChunkMs", chunkMs}, {"turnDetection", turnDetection}});
    std::mutex mutex;
    std::condition_variable changed;
    bool up = false;
    const auto id = node->addEventListener("sessionCreated", [&](const std::string&, const OVAnyMap&) {
        std::lock_guard<std::mutex> lock(mutex);
        up = true;
        changed.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(20), [&] { return up; })) {
            std::fprintf(stderr, "no session at %s\n", url.c_str());
            std::exit(1);
        }
    }
    node->removeEventListener(id);
    std::vector<AudioBusFormat> ins{AudioBusFormat(hostRate, 1)}, outs{AudioBusFormat(hostRate, 1)};
    node->setBusFormats(ins, outs);
    return node;
}

// Plays `seconds` of signal(hostSampleIndex) into the node in real time;
// returns the time each block entered process.
std::vector<Clock::time_point> play(OpenAINode& node, double seconds, const std::function<float(long)>& signal) {
    AudioBuffer<float> in(1, hostBlock, hostRate), out(1, hostBlock, hostRate);
    const long blocks = static_cast<long>(seconds * hostRate / hostBlock);
    std::vector<Clock::time_point> entered(static_cast<size_t>(blocks));
    const auto start = Clock::now();
    for (long b = 0; b < blocks; ++b) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10) * b);
        float* p = in.getWritePointer(0);
        for (int i = 0; i < hostBlock; ++i)
            p[i] = signal(b * hostBlock + i);
        AudioBus inBus(&in), outBus(&out);
        entered[static_cast<size_t>(b)] = Clock::now();
        node.process(inBus, outBus);
    }
    return entered;
}

float tone(long i) { return 0.3f * std::sin(2.0f * 3.14159265f * 440.0f * static_cast<float>(i) / hostRate); }

void latency(int chunkMs, double seconds) {
    simulator::SimulatorOptions options;
    simulator::Simulator sim(options);
    sim.start();
    auto node = openNode(sim.realtimeUrl(), chunkMs, "none");
    // A click marks where host samples land in the service's stream.
    const long click = hostRate / 2;
    const auto entered = play(*node, seconds, [&](long i) { return i == click ? 0.9f : 0.0f; });
    std::this_thread::sleep_for(std::chrono::milliseconds(chunkMs + 500)); // the last whole chunk
    node.reset();
    const auto received = sim.receivedInputAudio();
    if (received.empty() || received[0].empty()) {
        std::printf("latency   chunk %4d ms: nothing arrived; feed longer than a chunk\n", chunkMs);
        return;
    }
    const auto& audio = received[0];
    long peak = 0;
    for (size_t j = 0; j < audio.size(); ++j)
        if (std::abs(audio[j]) > std::abs(audio[static_cast<size_t>(peak)]))
            peak = static_cast<long>(j);
    const long offset = click - 2 * peak; // host sample = 2 * service sample + offset

    std::vector<double> latencies;
    for (const auto& append : sim.receivedAppends()) {
        for (size_t j = append.firstSample; j < append.firstSample + append.samples; ++j) {
            const long host = 2 * static_cast<long>(j) + offset;
            const long block = host / hostBlock;
            if (host >= 0 && block < static_cast<long>(entered.size()))
                latencies.push_back(ms(append.arrival - entered[static_cast<size_t>(block)]));
        }
    }
    if (latencies.empty()) {
        std::printf("latency   chunk %4d ms: no fed sample arrived; feed longer than a chunk\n", chunkMs);
        return;
    }
    std::sort(latencies.begin(), latencies.end());
    double sum = 0;
    for (double l : latencies)
        sum += l;
    std::printf("latency   chunk %4d ms: mean %7.1f ms  p95 %7.1f ms  max %7.1f ms  (%zu samples, %zu appends)\n",
                chunkMs, sum / static_cast<double>(latencies.size()),
                latencies[static_cast<size_t>(0.95 * static_cast<double>(latencies.size()))], latencies.back(),
                latencies.size(), sim.receivedAppends().size());
}

// The times the client read "speech_stopped", from its debug log line.
class SpeechStoppedLog {
public:
    SpeechStoppedLog() {
        Logger::setLevel(Logger::Level::Debug);
        Logger::setSink([this](Logger::Level, const std::string& line) {
            if (line == "[OpenAIWebSocketClient] Speech stopped.") {
                std::lock_guard<std::mutex> lock(mutex);
                times.push_back(Clock::now());
            }
        });
    }
    ~SpeechStoppedLog() {
        Logger::setSink(nullptr);
        Logger::setLevel(Logger::Level::Info);
    }
    std::vector<Clock::time_point> get() {
        std::lock_guard<std::mutex> lock(mutex);
        return times;
    }

private:
    std::mutex mutex;
    std::vector<Clock::time_point> times;
};

void endOfTurn(int chunkMs, int turns) {
    simulator::SimulatorOptions options;
    simulator::Simulator sim(options);
    sim.start();
    SpeechStoppedLog log;
    auto node = openNode(sim.realtimeUrl(), chunkMs, "server_vad");
    // Each turn: 0.5 s of silence, 1.5 s of speech, 4 s of silence (the
    // answer plays meanwhile).
    const long turn = 6 * hostRate, speechBegin = hostRate / 2, speechEnd = 2 * hostRate;
    const auto entered = play(*node, 6.0 * turns, [&](long i) {
        const long t = i % turn;
        return t >= speechBegin && t < speechEnd ? tone(i) : 0.0f;
    });
    node.reset();
    const auto stopped = log.get();
    std::printf("end of turn chunk %4d ms:", chunkMs);
    double sum = 0;
    int n = 0;
    for (int t = 0; t < turns; ++t) {
        const auto silenceEntered = entered[static_cast<size_t>((t * turn + speechEnd) / hostBlock)];
        // The first speech_stopped after this turn's speech ended.
        for (const auto& s : stopped)
            if (s > silenceEntered) {
                std::printf(" %6.0f", ms(s - silenceEntered));
                sum += ms(s - silenceEntered);
                ++n;
                break;
            }
    }
    std::printf("  ms; mean %6.0f ms over %d turns\n", n ? sum / n : 0.0, n);
}

// The simulator in a child process, so that the parent's resource usage is
// the node's side alone. Returns the child's realtime URL.
std::string spawnSimulator(pid_t& child) {
    int fds[2];
    if (pipe(fds) != 0)
        std::exit(1);
    child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // ends with the parent, however it ends
        close(fds[0]);
        simulator::SimulatorOptions options;
        simulator::Simulator sim(options);
        sim.start();
        const std::string url = sim.realtimeUrl() + "\n";
        if (write(fds[1], url.data(), url.size()) < 0)
            _exit(1);
        close(fds[1]);
        pause(); // until the parent kills it
        _exit(0);
    }
    close(fds[1]);
    std::string url;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        url += c;
    close(fds[0]);
    return url;
}

struct Usage {
    double cpuSeconds;
    long voluntarySwitches;
};

Usage usage(int who) {
    rusage u{};
    getrusage(who, &u);
    return {static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6,
            u.ru_nvcsw};
}

// One stretch of conversation; adds what it cost to `total` (whole process)
// and `feeder` (the real-time feeding thread alone).
void conversation(const std::string& url, int chunkMs, double seconds, Usage& total, Usage& feeder) {
    auto node = openNode(url, chunkMs, "server_vad");
    const Usage processBefore = usage(RUSAGE_SELF), feederBefore = usage(RUSAGE_THREAD);
    // Turns of 3 s of speech and 5 s of silence, while the answers play.
    const long turn = 8 * hostRate;
    play(*node, seconds, [&](long i) { return i % turn < 3 * hostRate ? tone(i) : 0.0f; });
    const Usage processAfter = usage(RUSAGE_SELF), feederAfter = usage(RUSAGE_THREAD);
    node.reset();
    total.cpuSeconds += processAfter.cpuSeconds - processBefore.cpuSeconds;
    total.voluntarySwitches += processAfter.voluntarySwitches - processBefore.voluntarySwitches;
    feeder.cpuSeconds += feederAfter.cpuSeconds - feederBefore.cpuSeconds;
    feeder.voluntarySwitches += feederAfter.voluntarySwitches - feederBefore.voluntarySwitches;
}

} // namespace

int main(int argc, char** argv) {
    const double latencySeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int turns = argc > 2 ? std::atoi(argv[2]) : 4;
    const double conversationSeconds = argc > 3 ? std::atof(argv[3]) : 60.0;

    // Forked before any thread exists.
    pid_t child = 0;
    const std::string childUrl = spawnSimulator(child);

    for (int chunkMs : {1000, 100, 20})
        latency(chunkMs, latencySeconds);
    for (int chunkMs : {1000, 100})
        endOfTurn(chunkMs, turns);
    // The sizes take turns, so that a change in the machine's load meets
    // them all alike. First the node's side alone (the simulator in the
    // child), then the whole process as the command-line tool runs by
    // default, with the simulator inside it.
    simulator::SimulatorOptions options;
    simulator::Simulator inProcess(options);
    inProcess.start();
    for (const bool alone : {true, false}) {
        const std::string url = alone ? childUrl : inProcess.realtimeUrl();
        const int sizes[] = {1000, 100, 20};
        Usage total[3] = {}, feeder[3] = {};
        const int rounds = 3;
        for (int r = 0; r < rounds; ++r)
            for (int k = 0; k < 3; ++k)
                conversation(url, sizes[k], conversationSeconds / rounds, total[k], feeder[k]);
        const double perMinute = 60.0 / conversationSeconds;
        const char* who = alone ? "node side" : "with the simulator in process";
        for (int k = 0; k < 3; ++k)
            std::printf("cost (%s) chunk %4d ms, per conversation minute: %6.3f s CPU (%6.3f s of it the feeding "
                        "thread's); %5.0f voluntary context switches (%5.0f of them the feeding thread's)\n",
                        who, sizes[k], total[k].cpuSeconds * perMinute, feeder[k].cpuSeconds * perMinute,
                        static_cast<double>(total[k].voluntarySwitches) * perMinute,
                        static_cast<double>(feeder[k].voluntarySwitches) * perMinute);
        std::printf("cost ratio (%s) 100 ms / 1000 ms chunks: %.3f (20 ms / 1000 ms: %.3f)\n", who,
                    total[1].cpuSeconds / total[0].cpuSeconds, total[2].cpuSeconds / total[0].cpuSeconds);
    }

    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    clearRealtimeEndpointOverride();
    return 0;
}
