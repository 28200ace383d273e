#pragma once

#include "tools/cli/CommandLine.h"

#include "OrvantaSDK/Node.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace orvanta::cli {

// A run that could not finish; the message is the one line the tool prints
// on stderr before exiting with status 1.
class RunError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The two subcommands, on the main thread. They return the exit status, and
// throw RunError (or std::runtime_error from the file readers) on failure, or
// UsageError when the node refuses a value given on the command line.
int runConverse(const CliOptions& options);
int runTranscribe(const CliOptions& options);

// A node of the library, made the way an application makes one: the
// extension registered itself while the library was loaded, and its factory
// creates the type by name ("OpenAI.Realtime"). A configuration value the
// node refuses (std::invalid_argument) becomes a UsageError.
std::unique_ptr<Node> createLibraryNode(const std::string& typeName, const OVAnyMap& config);

// The renderer's pacing step: the audio thread wakes once per quarter of a
// second rather than once per 10 ms block. A file player needs no less; the
// input's pieces leave the node at most one step later than a live host
// would send them.
constexpr double renderStepSeconds = 0.25;

// "3.3 s" style text for progress and summaries.
std::string seconds(double value);

} // namespace orvanta::cli
