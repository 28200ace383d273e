#pragma once

#include "OrvantaSDK/AudioBus.h"
#include "OrvantaSDK/AudioNode.h"

namespace orvanta {

// A node with one input bus and no output: it takes audio out of the graph.
// Subclasses implement setBusFormat and consume.
class SingleBusAudioSinkNode : public AudioNode {
public:
    explicit SingleBusAudioSinkNode(const OVAnyMap& config = OVAnyMap());
    ~SingleBusAudioSinkNode() override;

    // Host thread, graph stopped. Needs one input format and no output;
    // calls setBusFormat and, when it accepts, runs one zero-frame block
    // through consume on this thread (see SingleBusAudioProcessorNode).
    bool setBusFormats(std::vector<AudioBusFormat>& inputs, std::vector<AudioBusFormat>& outputs) override;

    // Host thread. False refuses the format.
    virtual bool setBusFormat(AudioBusFormat& format) = 0;

    // Audio thread, once per block. No locks, no allocation.
    virtual bool consume(AudioBus& bus) = 0;

    const AudioBusFormat& getInputFormat() const { return inputFormat_; }

protected:
    bool processBuses(AudioBusList& inputs, AudioBusList& outputs) override;

private:
    AudioBusFormat inputFormat_;
};

} // namespace orvanta
