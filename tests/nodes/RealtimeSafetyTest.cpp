// The audio thread's promise: process/consume allocate nothing and take no
// lock, whatever the other threads do meanwhile. Allocations are counted by
// the shared allocation counter (operator new and malloc), locks by
// interposing pthread_mutex_lock in this executable. Sanitizer builds own the
// allocator and intercept the lock, so the test skips itself there.
#include "OrvantaSDK/AudioBuffer.h"
#include "OrvantaSDK/AudioBus.h"
#include "nodes/OpenAINode.h"
#include "nodes/OpenAITranscribeNode.h"
#include "realtime/RealtimeEndpoint.h"
#include "support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <dlfcn.h>
#include <thread>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORVANTA_TEST_SANITIZED 1
#endif

namespace {
thread_local bool countingLocks = false;
std::atomic<int> locks{0}, allocations{0};

// Counts what the current thread allocates and locks while it lives.
struct Counted {
    Counted() {
        alloccount::begin();
        countingLocks = true;
    }
    ~Counted() {
        countingLocks = false;
        allocations += static_cast<int>(alloccount::end());
    }
};
} // namespace

#ifndef ORVANTA_TEST_SANITIZED
extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) {
    using Fn = int (*)(pthread_mutex_t*);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    if (countingLocks)
        ++locks;
    return real(mutex);
}
#endif

using namespace orvanta;
using namespace orvanta::extensions::openai;

// Other threads feed and steer playback while the audio thread runs; 1.5 s
// of input stays under the two seconds the input buffer holds, so no
// overflow warning (which may allocate) is due.
TEST(RealtimeSafety, ProcessAndConsumeNeitherAllocateNorLock) {
#ifdef ORVANTA_TEST_SANITIZED
    GTEST_SKIP() << "allocation and lock counting needs the plain allocator";
#endif
    { // Guards the test itself: a counter that never counts proves nothing.
        std::mutex m;
        Counted scope;
        int* volatile p = new int(1); // volatile: kept at any optimisation level
        delete p;
        std::lock_guard<std::mutex> lock(m);
    }
    ASSERT_GE(allocations.exchange(0), 1);
    ASSERT_EQ(locks.exchange(0), 1);

    setRealtimeEndpointOverride("ws://127.0.0.1:1/v1/realtime"); // nothing listens
    OpenAINode voice(OVAnyMap{{"apiKey", "sk-test"}});
    // The smallest chunk: the audio thread wakes the sender every 20 ms.
    OpenAITranscribeNode transcribe(OVAnyMap{{"apiKey", "sk-test"}, {"inputChunkMs", 20}});
    std::vector<AudioBusFormat> ins{AudioBusFormat(48000, 1)}, outs = ins, ins44{AudioBusFormat(44100, 1)}, none;
    ASSERT_TRUE(voice.setBusFormats(ins, outs));
    ASSERT_TRUE(transcribe.setBusFormats(ins44, none));
    AudioBuffer<float> in(1, 480, 48000), out(1, 480, 48000), in44(1, 441, 44100);

    std::atomic<bool> stop{false};
    std::thread network([&] {
        const std::vector<int16_t> chunk(2400, 9000);
        for (int i = 0; !stop; ++i) {
            voice.onResponseAudioReceived(chunk, "item-" + std::to_string(i / 20), 0);
            if (i % 15 == 14)
                voice.callAction("clearOutputBuffer", OVAnyMap());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::thread host([&] {
        while (!stop) {
            for (const char* action : {"pauseOutput", "resumeOutput", "clearInputBuffer"})
                voice.callAction(action, OVAnyMap());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    for (int b = 0; b < 150; ++b) {
        std::fill_n(in.getWritePointer(0), 480, 0.1f);
        std::fill_n(in44.getWritePointer(0), 441, 0.1f);
        AudioBus inBus(&in), outBus(&out), bus44(&in44);
        Counted scope;
        voice.process(inBus, outBus);
        transcribe.consume(bus44);
    }
    stop = true;
    network.join();
    host.join();
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(locks.load(), 0);
    clearRealtimeEndpointOverride();
}
