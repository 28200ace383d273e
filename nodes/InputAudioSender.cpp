#include "nodes/InputAudioSender.h"

#include "OrvantaSDK/Logger.h"
#include "nodes/SessionController.h"
#include "utils/Conversion.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace orvanta::extensions::openai {

unsigned int InputAudioSender::chunkMsFromConfiguration(const OVAny& value, const std::string& classTag) {
    const float ms = value.convert<float>();
    if (ms >= minChunkMs && ms <= maxChunkMs && ms == std::floor(ms) &&
        static_cast<unsigned int>(ms) % chunkStepMs == 0)
        return static_cast<unsigned int>(ms);
    std::ostringstream text;
    text << classTag << " Invalid inputChunkMs " << ms << ": use a multiple of " << chunkStepMs << " from "
         << minChunkMs << " to " << maxChunkMs << " (milliseconds).";
    throw std::invalid_argument(text.str());
}

InputAudioSender::InputAudioSender(Texts logTexts, unsigned int ms)
    : texts(std::move(logTexts)), chunkMs(ms), chunkSamples(serviceRate / 1000 * ms), floatChunk(chunkSamples),
      pcmChunk(chunkSamples) {}

void InputAudioSender::capture(const float* samples, unsigned int count) {
    if (queue.getAvailableItemsToProduce() >= count) {
        queue.produce(samples, count);
        if (inputBufferFull.load(std::memory_order_relaxed) && inputBufferFull.exchange(false))
            orvanta::Logger::warning(texts.bufferResumed);
        // One wake-up per whole chunk: the sender clears the flag before it
        // looks at what is waiting.
        if (queue.getBufferedItems() >= chunkSamples && !wakeSent.load(std::memory_order_relaxed) &&
            !wakeSent.exchange(true))
            wake.notify();
    } else if (!inputBufferFull.exchange(true)) {
        orvanta::Logger::warning(texts.bufferFull);
    }
}

void InputAudioSender::requestCommit() {
    {
        std::lock_guard<std::mutex> lock(requestMutex);
        requests.push_back({Request::Kind::Commit, queue.producedCount(), false});
    }
    wake.notify();
}

void InputAudioSender::requestClear(bool alsoService) {
    {
        std::lock_guard<std::mutex> lock(requestMutex);
        // Clears in a row are one clear (they pile up only while no sender
        // runs, during a token retry for instance).
        if (!requests.empty() && requests.back().kind == Request::Kind::Clear) {
            requests.back().position = queue.producedCount();
            requests.back().alsoService = requests.back().alsoService || alsoService;
        } else {
            requests.push_back({Request::Kind::Clear, queue.producedCount(), alsoService});
        }
    }
    wake.notify();
}

bool InputAudioSender::takeRequest(Request& request) {
    std::lock_guard<std::mutex> lock(requestMutex);
    if (requests.empty())
        return false;
    request = requests.front();
    requests.pop_front();
    return true;
}

void InputAudioSender::run(SessionController& session) {
    auto client = session.client();
    const bool connected = client && client->getIsConnected();

    Request request{};
    while (takeRequest(request)) {
        if (request.kind == Request::Kind::Clear) {
            // Applied even while disconnected, so that the audio thread
            // finds the room it frees.
            queue.discardUntil(request.position);
            if (request.alsoService && connected)
                client->clearInputAudioBuffer();
        } else if (connected) {
            sendUntil(*client, session, request.position, true);
            client->commitAudioBuffer();
        } else if (client) {
            // The session went away after the action accepted the commit:
            // the client reports the refusal, the audio waits for the next
            // session as all unsent audio does.
            client->commitAudioBuffer();
        }
    }

    if (!connected) {
        session.reconnectUnlessPending(texts.notConnectedScheduling);
        return;
    }
    wakeSent.store(false);
    sendUntil(*client, session, std::numeric_limits<uint64_t>::max(), false);
}

bool InputAudioSender::sendUntil(OpenAIWebSocketClient& client, SessionController& session, uint64_t until,
                                 bool withTail) {
    for (;;) {
        const uint64_t position = queue.consumedCount();
        if (position >= until)
            return true;
        const unsigned int available = queue.getAvailableItemsToConsume();
        const uint64_t left = until - position;
        unsigned int n = chunkSamples;
        if (left < n)
            n = static_cast<unsigned int>(left);
        if (n > available || (n < chunkSamples && !withTail))
            return true;
        queue.consume(floatChunk.data(), n);
        pcmChunk.resize(n); // within the reserved capacity: no allocation
        conversion::floatToShortInt(floatChunk.data(), pcmChunk.data(), n);
        if (!client.appendAudioBuffer(pcmChunk)) {
            orvanta::Logger::error(texts.appendFailed);
            session.reconnectUnlessPending(texts.appendFailedScheduling);
            return false;
        }
    }
}

} // namespace orvanta::extensions::openai
