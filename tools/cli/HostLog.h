#pragma once

#include <atomic>
#include <memory>

namespace orvanta::cli {

class InputFeeder;

// The tool's sinks for the host's logger and the library's own loggers:
// with --verbose every line goes to stderr; in any case the node's input
// overflow warnings are passed to the input feeder, so that file audio waits
// while the node drops blocks.
//
// Create it before the first node and destroy it after the last (the sinks
// are called on every library thread, the audio thread included).
class HostLog {
public:
    explicit HostLog(bool verbose);
    ~HostLog();
    HostLog(const HostLog&) = delete;
    HostLog& operator=(const HostLog&) = delete;

    // Any thread; null stops the forwarding. The feeder must outlive it.
    void watchInput(InputFeeder* feeder) { watched.store(feeder); }

private:
    struct LibraryDestination;
    std::unique_ptr<LibraryDestination> libraryDestination;
    std::atomic<InputFeeder*> watched{nullptr};
};

} // namespace orvanta::cli
