#pragma once

#include "OrvantaSDK/AudioBusFormat.h"
#include "OrvantaSDK/AudioBusList.h"
#include "OrvantaSDK/Node.h"

#include <vector>

namespace orvanta {

// A node with audio buses. The host first calls setBusFormats (host thread,
// graph stopped), then onGraphStart, then process once per block on its
// audio thread.
class AudioNode : public Node {
public:
    AudioNode(int numberOfInputs, int numberOfOutputs, const OVAnyMap& config = OVAnyMap());
    ~AudioNode() override;

    int getNumberOfInputs() const { return inputs_; }
    int getNumberOfOutputs() const { return outputs_; }

    // Host thread, graph stopped. One format per bus; false refuses them.
    virtual bool setBusFormats(std::vector<AudioBusFormat>& inputs, std::vector<AudioBusFormat>& outputs) = 0;

    // Audio thread, once per block: one bus per input and per output, all
    // with the same number of frames. No locks, no allocation.
    bool process(AudioBusList& inputs, AudioBusList& outputs) { return processBuses(inputs, outputs); }

protected:
    // What process runs; the single-bus bases implement it. (A separate
    // name keeps subclasses that define process(AudioBus&, AudioBus&) from
    // hiding a virtual.)
    virtual bool processBuses(AudioBusList& inputs, AudioBusList& outputs) = 0;

private:
    int inputs_;
    int outputs_;
};

} // namespace orvanta
