#pragma once

#include "tools/cli/CommandLine.h"

#include <memory>
#include <string>

namespace orvanta::cli {

// Where the tool's nodes connect, set up before the first node is made:
// - default: the bundled simulator, started in this process on a free
//   loopback port; the library is pointed at it through its internal
//   endpoint overrides, with a dummy key (or, with --token, dummy app
//   credentials for the simulator's token service);
// - --simulator URL: an already running simulator (orvanta-simulator);
// - --live: the real service, with OPENAI_API_KEY or app credentials.
// Main thread. Destroy it after the nodes.
class ServiceTarget {
public:
    // Throws std::runtime_error with a one-line reason (missing credentials,
    // a simulator that cannot start).
    explicit ServiceTarget(const CliOptions& options);
    ~ServiceTarget(); // stops the simulator, drops the overrides
    ServiceTarget(const ServiceTarget&) = delete;
    ServiceTarget& operator=(const ServiceTarget&) = delete;

    // The "apiKey" for the node's configuration; empty selects the token
    // path (the app credentials are then in the host's configuration store).
    const std::string& getApiKey() const { return apiKey; }
    // One line for the terminal: "simulator at ws://127.0.0.1:41234/v1/realtime".
    const std::string& getDescription() const { return description; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
    std::string apiKey;
    std::string description;
};

} // namespace orvanta::cli
