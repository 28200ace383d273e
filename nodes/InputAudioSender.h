#pragma once

#include "OrvantaSDK/OVAny.h"
#include "nodes/AudioQueue.h"
#include "utils/WakeSignal.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace orvanta::extensions::openai {

class OpenAIWebSocketClient;
class SessionController;

// The microphone road both nodes share: 24 kHz samples from the audio thread
// into a two-second queue, and from there, a chunk at a time, to the
// protocol client on the session's sender thread.
//
// The sender sleeps until there is work. The audio thread wakes it when a
// whole chunk is waiting (one wake-up per chunk, lock-free), the actions
// wake it with their requests, and a period of two seconds covers the rest
// (noticing a connection that is not there, applying a clear while no audio
// flows). Each run sends every whole chunk that is waiting.
//
// The period does not shrink with the chunk: while audio flows the chunks
// wake the sender, so a shorter period would only add wake-ups (with a host
// that renders in bursts, one between every two bursts), and a wake-up costs
// more than the append's own work.
//
// Commit and clear are requests the sender carries out in the order they
// were made, in order with the audio: a commit first appends everything
// captured before the call (the last piece shorter than a chunk), then
// commits; a clear drops everything captured before the call. So the
// service always gets a turn's audio before the turn is committed, and a
// single thread writes the input to the protocol client.
class InputAudioSender {
public:
    static constexpr unsigned int serviceRate = 24000;
    static constexpr unsigned int capacity = 48000; // 2 s at 24 kHz, whatever the chunk
    static constexpr unsigned int defaultChunkMs = 1000;
    static constexpr unsigned int minChunkMs = 20;
    static constexpr unsigned int maxChunkMs = 1000;
    static constexpr unsigned int chunkStepMs = 10; // one host block at 24 kHz

    // The node's log texts (each complete, with the class tag).
    struct Texts {
        std::string bufferFull;
        std::string bufferResumed;
        std::string notConnectedScheduling;
        std::string appendFailed;
        std::string appendFailedScheduling;
    };

    // A configured "inputChunkMs": a number of milliseconds, a multiple of
    // 10 from 20 to 1000. A value of another type throws std::bad_any_cast;
    // a number outside those throws std::invalid_argument with a message
    // that starts with `classTag`.
    static unsigned int chunkMsFromConfiguration(const OVAny& value, const std::string& classTag);

    InputAudioSender(Texts texts, unsigned int chunkMs = defaultChunkMs);

    // The session's sender runner: its period (the default chunk's two
    // seconds, whatever the chunk) and its wake-up, which outlives every
    // runner.
    static constexpr unsigned long long senderPeriodMs = 2ull * maxChunkMs;

    unsigned int getChunkMs() const { return chunkMs; }
    async::WakeSignal& getWakeSignal() { return wake; }

    // Audio thread: queue a block whole, or drop it whole when it does not
    // fit. Logs only at the two edges of an overflow episode.
    void capture(const float* samples, unsigned int count);

    // Sender thread: carry out the pending requests, then send every whole
    // chunk that is waiting; without a connected session arm a reconnect
    // unless one is pending, and keep the audio for the next session.
    void run(SessionController& session);

    // Any thread: the sender appends everything captured before this call
    // and then commits the service's input buffer.
    void requestCommit();
    // Any thread: nothing captured before this call will be sent; with
    // `alsoService` the service's input buffer is cleared too, in order.
    void requestClear(bool alsoService);

    // Any thread: forget a reported overflow (the next drop reports again).
    void resetOverflow() { inputBufferFull.store(false); }

private:
    struct Request {
        enum class Kind { Commit, Clear } kind;
        uint64_t position; // the queue's produced count when it was made
        bool alsoService;
    };

    bool takeRequest(Request& request);
    // Appends from the queue up to stream position `until`: whole chunks,
    // and with `withTail` the shorter piece that reaches `until`. False when
    // an append was refused (a reconnect is then armed).
    bool sendUntil(OpenAIWebSocketClient& client, SessionController& session, uint64_t until, bool withTail);

    const Texts texts;
    const unsigned int chunkMs;
    const unsigned int chunkSamples;
    AudioQueue queue{capacity};
    async::WakeSignal wake;
    std::atomic<bool> inputBufferFull{false};
    std::atomic<bool> wakeSent{false}; // the audio thread woke the sender for a whole chunk

    std::mutex requestMutex;
    std::deque<Request> requests;

    // Sender thread only; kept to spare an allocation per chunk.
    std::vector<float> floatChunk;
    std::vector<int16_t> pcmChunk;
};

} // namespace orvanta::extensions::openai
