#pragma once

// Not installed; library sources only (it brings in simdjson).

#include "realtime/EventValue.h"

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::extensions::openai {

// Turns the text of one server message into a document for the dispatch.
//
// simdjson's DOM parser does the work. It validates all of the text before
// anything is read, so a message that turns out to be malformed is refused
// before any of it is acted upon, and its nesting bound is checked as it
// goes. (Its On-Demand parser is lazy: it would need a full walk of every
// message to refuse the same texts, which costs back most of what it saves
// on a 100 ms audio delta, 1.2 against 0.7 us of parsing; and its kernels are
// chosen when compiling, so a baseline x86-64 build gets the scalar one,
// where the DOM parser picks AVX2 at run time.)
//
// It refuses a little that the JSON library, which decided before, accepts:
// integers beyond 64 bits, a leading byte order mark, anything after a NUL
// byte outside strings (where the JSON library stops reading). Such text goes
// to the JSON library, which decides, and what it accepts is parsed again as
// the library prints it back; so a text is refused exactly when the JSON
// library refuses it or it nests deeper than kMaxDepth.
//
// Memory: the parser needs about 14 bytes per byte of the text it parses.
// A message above directLimit bytes therefore gives the parser only its
// skeleton: every string of at least holdOutMinimum bytes (audio, long text)
// is checked as a JSON string and held out of the parsed text, and the
// document reads it from the message itself. One large message then costs
// little beyond the message and what the dispatch makes of it. A large
// message of mostly structure or short strings is parsed whole, at the
// parser's rate; release() gives that memory back.
//
// I/O thread only.
class ServerEventParser {
public:
    // Deepest nesting of arrays and objects accepted. Realtime events nest a
    // handful of levels; the bound keeps hostile input from driving the
    // recursive parts of the JSON library (printing, copying) into the
    // stack's limit.
    static constexpr size_t kMaxDepth = 128;
    static constexpr size_t kDirectLimit = 64 * 1024;
    static constexpr size_t kHoldOutMinimum = 4096;

    ServerEventParser();

    // Parses `message`, which may grow for the parser's padding (in place
    // when it has the spare capacity) and is back to its size on return.
    // Nothing when the text is refused. The value is valid until release()
    // or the next parse, and only while `message` is unchanged.
    std::optional<EventValue> parse(std::vector<uint8_t>& message);
    // Ends the use of the last document; buffers grown past kDirectLimit by a
    // large message are freed.
    void release();

    // Decodes the escape sequences of a JSON string's text (the part between
    // the quotes) into `out` when given; false for an escape a JSON parser
    // refuses (unknown, short, or a surrogate without its pair). Control
    // characters and UTF-8 are the caller's to check.
    static bool decodeString(std::string_view raw, std::string* out);

    // Tests and the fuzzer lower these to send small messages the way of
    // large ones.
    size_t directLimit = kDirectLimit;
    size_t holdOutMinimum = kHoldOutMinimum;

private:
    std::optional<EventValue> parseText(uint8_t* data, size_t size, std::vector<uint8_t>* growable);
    bool holdOutStrings(const uint8_t* data, size_t size);
    bool canHoldOut(std::string_view raw, bool escaped) const;
    void buildSkeleton(const uint8_t* data, size_t size);

    simdjson::dom::parser parser;
    std::vector<HeldOutString> heldOut; // strings of the last large message
    std::vector<uint8_t> skeleton;      // its text without them
    std::string normalised;             // the JSON library's print of a text simdjson refused
};

} // namespace orvanta::extensions::openai
