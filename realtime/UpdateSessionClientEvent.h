#pragma once

#include <optional>
#include <string>

namespace orvanta::extensions::openai {

// The session parameters a node hands to OpenAIWebSocketClient::updateSession.
// Every member is optional; an absent member is left out of the update. Which
// members count depends on the shape: `sessionType` == "transcription" selects
// the transcription shape, anything else the realtime (conversation) shape.
//
// Threads: a plain value, built and passed on the caller's thread.
struct UpdateSessionClientEvent {
    std::optional<std::string> voice;                 // realtime: sent when non-empty
    std::optional<std::string> instructions;          // realtime: sent even when empty
    std::optional<float> speed;                       // realtime: widened to double on the wire
    std::optional<bool> inputAudioTranscription;      // realtime: true enables, false sends null
    std::optional<std::string> transcriptionModel;    // both shapes, each with its own default
    std::optional<std::string> turnDetection;         // realtime: "none", "semantic_vad", else server VAD
    std::optional<std::string> noiseReduction;        // realtime: "none" or a reduction type
    std::optional<std::string> sessionType;           // "transcription" or realtime
    std::optional<std::string> transcriptionLanguage; // transcription: sent when non-empty
    std::optional<std::string> transcriptionDelay;    // transcription: sent whenever present
    std::optional<std::string> tools;                 // realtime: JSON text of the tool list
    std::optional<std::string> toolChoice;            // realtime: "none", "required", else "auto"
};

} // namespace orvanta::extensions::openai
