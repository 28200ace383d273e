#pragma once

#include "nodes/AudioQueue.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace orvanta::extensions::openai {

class SessionController;

// The microphone road both nodes share: 24 kHz samples from the audio thread
// into a two-second queue, and from there, one second at a time, to the
// protocol client on the sender thread.
class InputAudioSender {
public:
    static constexpr unsigned int capacity = 48000;  // 2 s at 24 kHz
    static constexpr unsigned int chunkSize = 24000; // 1 s at 24 kHz

    // The node's log texts (each complete, with the class tag).
    struct Texts {
        std::string bufferFull;
        std::string bufferResumed;
        std::string notConnectedScheduling;
        std::string appendFailed;
        std::string appendFailedScheduling;
    };

    explicit InputAudioSender(Texts texts);

    // Audio thread: queue a block whole, or drop it whole when it does not
    // fit. Logs only at the two edges of an overflow episode.
    void capture(const float* samples, unsigned int count);

    // Sender thread: send one second if one is waiting and the session is up;
    // otherwise arm a reconnect unless one is pending.
    void sendChunk(SessionController& session);

    // Any thread: nothing captured before the call will be sent.
    void clear();

    // Any thread: forget a reported overflow (the next drop reports again).
    void resetOverflow() { inputBufferFull.store(false); }

    unsigned int getAvailableSamples() { return queue.getAvailableItemsToConsume(); }

private:
    const Texts texts;
    AudioQueue queue{capacity};
    std::atomic<bool> inputBufferFull{false};
    // Sender thread only; kept to spare an allocation per chunk.
    std::vector<float> floatChunk;
    std::vector<int16_t> pcmChunk;
};

} // namespace orvanta::extensions::openai
