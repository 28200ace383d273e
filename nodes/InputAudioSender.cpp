#include "nodes/InputAudioSender.h"

#include "OrvantaSDK/Logger.h"
#include "nodes/SessionController.h"
#include "utils/Conversion.h"

namespace orvanta::extensions::openai {

InputAudioSender::InputAudioSender(Texts logTexts)
    : texts(std::move(logTexts)), floatChunk(chunkSize), pcmChunk(chunkSize) {}

void InputAudioSender::capture(const float* samples, unsigned int count) {
    if (queue.getAvailableItemsToProduce() >= count) {
        queue.produce(samples, count);
        if (inputBufferFull.exchange(false))
            orvanta::Logger::warning(texts.bufferResumed);
    } else if (!inputBufferFull.exchange(true)) {
        orvanta::Logger::warning(texts.bufferFull);
    }
}

void InputAudioSender::sendChunk(SessionController& session) {
    // Apply a pending clear even while disconnected, so that the audio thread
    // finds the room it frees.
    queue.applyPendingClear();
    auto client = session.client();
    if (!client || !client->getIsConnected()) {
        session.reconnectUnlessPending(texts.notConnectedScheduling);
        return;
    }
    if (!queue.consumeAll(floatChunk.data(), chunkSize))
        return;
    conversion::floatToShortInt(floatChunk.data(), pcmChunk.data(), chunkSize);
    if (!client->appendAudioBuffer(pcmChunk)) {
        orvanta::Logger::error(texts.appendFailed);
        session.reconnectUnlessPending(texts.appendFailedScheduling);
    }
}

void InputAudioSender::clear() {
    // The overflow flag stays as it is: the audio thread reports the end of
    // the episode itself once the sender has applied the clear and a block
    // fits again.
    queue.requestClear();
}

} // namespace orvanta::extensions::openai
