#include "OrvantaSDK/SingleBusAudioSinkNode.h"

namespace orvanta {

SingleBusAudioSinkNode::SingleBusAudioSinkNode(const OVAnyMap& config) : AudioNode(1, 0, config) {}

SingleBusAudioSinkNode::~SingleBusAudioSinkNode() = default;

bool SingleBusAudioSinkNode::setBusFormats(std::vector<AudioBusFormat>& inputs, std::vector<AudioBusFormat>& outputs) {
    if (inputs.size() != 1 || !outputs.empty())
        return false;
    if (!setBusFormat(inputs[0]))
        return false;
    inputFormat_ = inputs[0];
    AudioBuffer<float> in(inputFormat_.getNumberOfChannels(), 0, inputFormat_.getSampleRate());
    AudioBus bus(&in);
    consume(bus);
    return true;
}

bool SingleBusAudioSinkNode::processBuses(AudioBusList& inputs, AudioBusList& /*outputs*/) {
    if (inputs.size() < 1)
        return false;
    return consume(inputs[0]);
}

} // namespace orvanta
