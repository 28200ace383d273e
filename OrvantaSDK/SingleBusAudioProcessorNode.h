#pragma once

#include "OrvantaSDK/AudioBus.h"
#include "OrvantaSDK/AudioNode.h"

namespace orvanta {

// A node with one input and one output bus. Subclasses implement
// setBusFormat and process over single buses.
class SingleBusAudioProcessorNode : public AudioNode {
public:
    explicit SingleBusAudioProcessorNode(const OVAnyMap& config = OVAnyMap());
    ~SingleBusAudioProcessorNode() override;

    // Host thread, graph stopped. Needs exactly one format per side; calls
    // setBusFormat and, when it accepts, runs one zero-frame block through
    // process on this thread, so that whatever adapts to the rate (an
    // AudioGraphResampler) sets itself up here rather than on the audio
    // thread.
    bool setBusFormats(std::vector<AudioBusFormat>& inputs, std::vector<AudioBusFormat>& outputs) override;

    // Host thread. False refuses the formats.
    virtual bool setBusFormat(AudioBusFormat& input, AudioBusFormat& output) = 0;

    // Audio thread, once per block; `in` and `out` have the same frame
    // count. Must fill `out`. No locks, no allocation.
    using AudioNode::process;
    virtual bool process(AudioBus& in, AudioBus& out) = 0;

    // The formats last accepted.
    const AudioBusFormat& getInputFormat() const { return inputFormat_; }
    const AudioBusFormat& getOutputFormat() const { return outputFormat_; }

protected:
    bool processBuses(AudioBusList& inputs, AudioBusList& outputs) override;

private:
    AudioBusFormat inputFormat_;
    AudioBusFormat outputFormat_;
};

} // namespace orvanta
