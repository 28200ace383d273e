#pragma once

#include <string>

namespace orvanta::extensions::openai {

class EventValue;

// Mirror of the service's session description, as last told by the server.
// A non-empty `id` is what makes a session "active" for the protocol client.
//
// Not installed: it is the protocol client's private record.
//
// Threads: a plain value; the protocol client writes it on its I/O thread and
// guards readers on other threads itself.
class RealtimeSession {
public:
    std::string id;
    std::string object;
    std::string model;
    std::string instructions;
    std::string voice;             // audio.output.voice
    std::string inputAudioFormat;  // audio.input.format.type
    std::string outputAudioFormat; // audio.output.format.type
    std::string toolChoice;
    double speed = 0.0;            // audio.output.speed

    // Merges the server's "session" object (a value of a parsed event) into
    // this record. A field changes only when its key is present with the
    // expected kind (text for strings, any number for speed); anything else,
    // including a non-object argument, leaves the record as it was. Never
    // throws for any value.
    void updateFromJson(const EventValue& session);
};

} // namespace orvanta::extensions::openai
