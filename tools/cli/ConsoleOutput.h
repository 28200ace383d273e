#pragma once

#include "OrvantaSDK/OVAnyMap.h"

#include <mutex>
#include <ostream>
#include <string>

namespace orvanta::cli {

// Everything the tool prints on standard output, from any thread (node
// events arrive on the node's session thread, progress from the main
// thread), one writer at a time.
//
// Three styles:
// - Plain (output is not a terminal): only results, one complete line each:
//   "you: ...", "assistant: ...", "tool: ...", "error: ...", summaries.
// - Interactive (a terminal): transcripts stream in as they arrive, session
//   and response events are shown, and a progress line at the bottom is
//   redrawn in place.
// - JSON: one JSON object per node event and nothing else.
class ConsoleOutput {
public:
    enum class Style { Plain, Interactive, Json };

    ConsoleOutput(std::ostream& out, Style style);

    Style getStyle() const { return style; }

    // Transcript text of one speaker: pieces as they stream, then the whole.
    // An empty label prints the text without a prefix.
    void transcriptDelta(const std::string& label, const std::string& delta);
    void transcriptDone(const std::string& label, const std::string& transcript);

    // A complete line that belongs to the results (tool calls, errors,
    // summaries). Ignored in the JSON style.
    void result(const std::string& line);
    // A line shown on a terminal only (session and response events).
    void status(const std::string& line);
    // The status line for a session event ("sessionStarting", "sessionCreated",
    // "sessionDisconnected"); false for any other event.
    bool sessionStatus(const std::string& event);
    // Replaces the progress line (terminal only).
    void progress(const std::string& line);
    // Ends an open transcript line and removes the progress line, so that
    // whatever comes next (stderr, the shell prompt) starts on a clean line.
    void finish();

    // One node event as {"data":{...},"event":name,"t":seconds}.
    void jsonEvent(const std::string& name, const OVAnyMap& payload, double seconds);

private:
    void clearProgressLocked();
    void closeLineLocked();
    void printLineLocked(const std::string& line);

    std::ostream& out;
    const Style style;
    std::mutex mutex;
    std::string openLabel;       // speaker whose streamed line is open
    bool lineOpen = false;
    bool streaming = false;       // deltas shown since the speaker's last transcript
    std::string streamedLabel;    // ... of this speaker
    bool streamedInterrupted = false; // and that line was broken by other output
    bool progressShown = false;
    std::string shownProgress;
};

} // namespace orvanta::cli
