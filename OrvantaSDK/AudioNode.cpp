#include "OrvantaSDK/AudioNode.h"

namespace orvanta {

AudioNode::AudioNode(int numberOfInputs, int numberOfOutputs, const OVAnyMap& config)
    : Node(config), inputs_(numberOfInputs), outputs_(numberOfOutputs) {}

AudioNode::~AudioNode() = default;

} // namespace orvanta
