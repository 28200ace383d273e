#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvanta::cli {

// A command line the tool cannot run: the message is shown with a hint to
// --help, and the tool exits with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Everything the two subcommands take from the command line. Plain data,
// filled by parseCommandLine on the main thread.
struct CliOptions {
    enum class Command { Help, Converse, Transcribe };
    Command command = Command::Help;

    std::string input;  // WAV to play; the shipped sample when not given
    std::string output = "reply.wav";
    bool keepSilence = false; // write the whole output, not just the reply

    // Where the node talks to.
    bool live = false;
    std::string simulatorUrl; // a running simulator's realtime URL; empty: start one
    bool useToken = false; // the token path (app credentials) instead of a key
    std::string appId;
    std::string appSecret;

    // Voice node settings; unset ones keep the node's defaults.
    std::optional<std::string> voice;
    std::optional<std::string> instructions;
    std::optional<float> speed;
    std::string turnDetection = "server_vad";
    std::optional<std::string> noiseReduction;
    std::optional<std::string> transcriptionModel;
    std::optional<std::string> toolChoice;
    std::string toolsFile;
    std::string toolResultsFile;

    // Transcription node settings.
    std::optional<std::string> language;
    std::optional<std::string> delay;
    double commitEverySeconds = 0; // 0: commit once, at the end of the input

    // Both nodes: the input's piece size in milliseconds; unset keeps the
    // node's default (1000).
    std::optional<float> inputChunkMs;

    // Running.
    bool json = false;
    bool fast = false;
    bool verbose = false;
    double timeoutSeconds = 0;     // 0: input length + 60 s
    int connectAttempts = 3;       // failed session attempts in a row before giving up
    double connectTimeoutSeconds = 20;
};

// Parses argv (argv[0] is the program). Throws UsageError for an unknown
// subcommand or option, a missing or malformed value, or values out of range.
CliOptions parseCommandLine(const std::vector<std::string>& args);

// The --help text.
const char* usageText();

// The shipped speech sample: ORVANTA_SAMPLE_WAV from the environment, else
// the path compiled in at build time.
std::string defaultSamplePath();

} // namespace orvanta::cli
