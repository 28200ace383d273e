#include "OrvantaSDK/SingleBusAudioProcessorNode.h"

namespace orvanta {

SingleBusAudioProcessorNode::SingleBusAudioProcessorNode(const OVAnyMap& config) : AudioNode(1, 1, config) {}

SingleBusAudioProcessorNode::~SingleBusAudioProcessorNode() = default;

bool SingleBusAudioProcessorNode::setBusFormats(std::vector<AudioBusFormat>& inputs,
                                                std::vector<AudioBusFormat>& outputs) {
    if (inputs.size() != 1 || outputs.size() != 1)
        return false;
    if (!setBusFormat(inputs[0], outputs[0]))
        return false;
    inputFormat_ = inputs[0];
    outputFormat_ = outputs[0];
    AudioBuffer<float> in(inputFormat_.getNumberOfChannels(), 0, inputFormat_.getSampleRate());
    AudioBuffer<float> out(outputFormat_.getNumberOfChannels(), 0, outputFormat_.getSampleRate());
    AudioBus inBus(&in);
    AudioBus outBus(&out);
    process(inBus, outBus);
    return true;
}

bool SingleBusAudioProcessorNode::processBuses(AudioBusList& inputs, AudioBusList& outputs) {
    if (inputs.size() < 1 || outputs.size() < 1)
        return false;
    return process(inputs[0], outputs[0]);
}

} // namespace orvanta
