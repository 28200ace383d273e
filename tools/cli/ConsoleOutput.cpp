#include "tools/cli/ConsoleOutput.h"

#include <nlohmann/json.hpp>

namespace orvanta::cli {

namespace {

std::string prefixed(const std::string& label, const std::string& text) {
    return label.empty() ? text : label + ": " + text;
}

} // namespace

ConsoleOutput::ConsoleOutput(std::ostream& stream, Style outputStyle) : out(stream), style(outputStyle) {}

void ConsoleOutput::clearProgressLocked() {
    if (progressShown) {
        out << "\r\033[K";
        progressShown = false;
    }
}

void ConsoleOutput::closeLineLocked() {
    if (lineOpen) {
        out << '\n';
        lineOpen = false;
        if (streaming && openLabel == streamedLabel)
            streamedInterrupted = true;
    }
}

void ConsoleOutput::printLineLocked(const std::string& line) {
    clearProgressLocked();
    closeLineLocked();
    out << line << '\n' << std::flush;
}

void ConsoleOutput::transcriptDelta(const std::string& label, const std::string& delta) {
    if (style != Style::Interactive || delta.empty())
        return;
    std::lock_guard<std::mutex> lock(mutex);
    clearProgressLocked();
    if (!lineOpen || openLabel != label) {
        closeLineLocked();
        if (!streaming || streamedLabel != label) {
            streaming = true;
            streamedLabel = label;
            streamedInterrupted = false;
        }
        out << (label.empty() ? std::string() : label + ": ");
        openLabel = label;
        lineOpen = true;
    }
    out << delta << std::flush;
}

void ConsoleOutput::transcriptDone(const std::string& label, const std::string& transcript) {
    if (style == Style::Json)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    if (style == Style::Interactive && streaming && streamedLabel == label) {
        const bool wasWhole = lineOpen && openLabel == label && !streamedInterrupted;
        streaming = false;
        streamedInterrupted = false;
        if (wasWhole) {
            // The deltas already showed the text; end the line.
            out << '\n' << std::flush;
            lineOpen = false;
            return;
        }
    }
    // No deltas, or their line was broken up by other output: show the whole.
    printLineLocked(prefixed(label, transcript));
}

void ConsoleOutput::result(const std::string& line) {
    if (style == Style::Json)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    printLineLocked(line);
}

void ConsoleOutput::status(const std::string& line) {
    if (style != Style::Interactive)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    printLineLocked(line);
}

void ConsoleOutput::progress(const std::string& line) {
    if (style != Style::Interactive)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    // A streaming transcript line owns the cursor; the progress waits.
    if (lineOpen || (progressShown && line == shownProgress))
        return;
    out << "\r\033[K" << line << std::flush;
    progressShown = true;
    shownProgress = line;
}

void ConsoleOutput::finish() {
    std::lock_guard<std::mutex> lock(mutex);
    clearProgressLocked();
    closeLineLocked();
    out << std::flush;
}

void ConsoleOutput::jsonEvent(const std::string& name, const OVAnyMap& payload, double seconds) {
    if (style != Style::Json)
        return;
    nlohmann::json data = nlohmann::json::object();
    for (const auto& [key, value] : payload) {
        if (const auto* text = value.getIf<std::string>())
            data[key] = *text;
        else if (const auto* number = value.getIf<float>())
            data[key] = *number;
        else if (const auto* flag = value.getIf<bool>())
            data[key] = *flag;
        else
            data[key] = nullptr;
    }
    // Milliseconds are as fine as a script needs.
    const nlohmann::json line{
        {"event", name}, {"data", std::move(data)}, {"t", static_cast<double>(static_cast<long long>(seconds * 1000)) / 1000}};
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard<std::mutex> lock(mutex);
    out << text << '\n' << std::flush;
}

bool ConsoleOutput::sessionStatus(const std::string& event) {
    if (event == "sessionStarting")
        status("session: starting");
    else if (event == "sessionCreated")
        status("session: created");
    else if (event == "sessionDisconnected")
        status("session: disconnected");
    else
        return false;
    return true;
}

} // namespace orvanta::cli
