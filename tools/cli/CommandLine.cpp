#include "tools/cli/CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#ifndef ORVANTA_CLI_SAMPLE
#define ORVANTA_CLI_SAMPLE "samples/hello.wav"
#endif

namespace orvanta::cli {

namespace {

const char* const kUsage = R"(Usage: orvanta-openai <command> [options] [input.wav]

Plays a WAV file into the library's voice or transcription node, as an
application would, and prints what the service says. By default it starts the
bundled simulator of the service on a free loopback port, so it needs neither
network nor key; --live talks to the real service.

Commands:
  converse      talk to the voice node: prints transcripts, tool calls, errors
                and session events, and writes the spoken reply to a WAV file
  transcribe    stream the file into the transcription node and print the text

The input is any WAV file (any rate; stereo is mixed down); without one, the
shipped sample samples/hello.wav is played.

Common options:
  --live                use the real service: OPENAI_API_KEY from the
                        environment, or the token service with app credentials
  --app-id ID           app credentials for the token service (also from
  --app-secret SECRET   ORVANTA_APP_ID and ORVANTA_APP_SECRET); given on the
                        command line, they take precedence over OPENAI_API_KEY
  --token               against the simulator: get a client secret from its
                        token service with dummy app credentials instead of
                        using a dummy key
  --simulator URL       use a running orvanta-simulator (its realtime URL,
                        ws://127.0.0.1:PORT/v1/realtime) instead of starting one
  --chunk-ms N          send the input to the service in pieces of N ms: a
                        multiple of 10 from 20 to 1000 (default 1000); shorter
                        pieces let it notice the end of a turn sooner
  --json                print every node event as one JSON line, nothing else
  --fast                feed the input at twice real time (for scripts and
                        tests; the run fails if any input audio is dropped)
  --timeout S           give up after S seconds (default: input length + 60)
  --connect-attempts N  give up after N failed session attempts in a row (3)
  --connect-timeout S   give up when no session is up after S seconds (20)
  --verbose             the library's log on stderr
  --help                this text

converse options:
  -o, --output FILE     reply WAV, mono at the input's rate (default reply.wav)
  --keep-silence        write the node's whole output, silence included
  --voice NAME          alloy, ash, ballad, cedar, coral, echo, marin, sage,
                        shimmer, verse
  --instructions TEXT   instructions for the voice
  --speed X             speech speed, 0.5 to 1.5
  --turn-detection M    server_vad (default), semantic_vad or none (then the
                        input is committed when the file ends)
  --noise-reduction M   none, near_field or far_field
  --transcription-model NAME  model that transcribes the input
  --tools FILE          JSON array of tool definitions to declare
  --tool-choice M       auto, none or required
  --tool-results FILE   JSON object: tool name -> canned result, used to
                        answer the model's tool calls

transcribe options:
  --language CODE       ISO 639-1 language code (default: detect)
  --delay D             minimal, low, medium, high or xhigh
  --commit-every S      also commit every S seconds of input (S >= 2)

Exit status: 0 on success, 1 when the run failed (the reason is the last line
on stderr), 2 for a command line it cannot run (a value the node refuses
included).
)";

double parseNumber(const std::string& option, const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(value))
        throw UsageError(option + " needs a number, not '" + text + "'");
    return value;
}

} // namespace

const char* usageText() { return kUsage; }

std::string defaultSamplePath() {
    if (const char* fromEnv = std::getenv("ORVANTA_SAMPLE_WAV"); fromEnv && *fromEnv)
        return fromEnv;
    return ORVANTA_CLI_SAMPLE;
}

CliOptions parseCommandLine(const std::vector<std::string>& args) {
    CliOptions o;
    if (args.size() < 2)
        throw UsageError("no command given");
    const std::string& command = args[1];
    if (command == "--help" || command == "-h" || command == "help")
        return o;
    if (command == "converse")
        o.command = CliOptions::Command::Converse;
    else if (command == "transcribe")
        o.command = CliOptions::Command::Transcribe;
    else
        throw UsageError("unknown command '" + command + "'");
    const bool converse = o.command == CliOptions::Command::Converse;

    std::size_t i = 2;
    auto value = [&](const std::string& option) -> std::string {
        if (i + 1 >= args.size())
            throw UsageError(option + " needs a value");
        return args[++i];
    };
    // Options of one command only are refused for the other, so that a typo
    // such as `transcribe --voice x` is not silently ignored.
    auto conversing = [&](const std::string& option) {
        if (!converse)
            throw UsageError(option + " is an option of converse");
    };
    auto transcribing = [&](const std::string& option) {
        if (converse)
            throw UsageError(option + " is an option of transcribe");
    };

    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.command = CliOptions::Command::Help;
            return o;
        } else if (a == "--live") o.live = true;
        else if (a == "--token") o.useToken = true;
        else if (a == "--simulator") o.simulatorUrl = value(a);
        else if (a == "--app-id") o.appId = value(a);
        else if (a == "--app-secret") o.appSecret = value(a);
        else if (a == "--json") o.json = true;
        else if (a == "--fast") o.fast = true;
        else if (a == "--verbose") o.verbose = true;
        // The node knows which sizes it takes and refuses the others.
        else if (a == "--chunk-ms") o.inputChunkMs = static_cast<float>(parseNumber(a, value(a)));
        else if (a == "--timeout") {
            o.timeoutSeconds = parseNumber(a, value(a));
            if (o.timeoutSeconds <= 0)
                throw UsageError("--timeout must be positive");
        } else if (a == "--connect-attempts") {
            const double n = parseNumber(a, value(a));
            if (n < 1 || n != std::floor(n) || n > 1000)
                throw UsageError("--connect-attempts must be a whole number from 1 to 1000");
            o.connectAttempts = static_cast<int>(n);
        } else if (a == "--connect-timeout") {
            o.connectTimeoutSeconds = parseNumber(a, value(a));
            if (o.connectTimeoutSeconds <= 0)
                throw UsageError("--connect-timeout must be positive");
        } else if (a == "-o" || a == "--output") {
            conversing(a);
            o.output = value(a);
        } else if (a == "--keep-silence") {
            conversing(a);
            o.keepSilence = true;
        } else if (a == "--voice") {
            conversing(a);
            o.voice = value(a);
        } else if (a == "--instructions") {
            conversing(a);
            o.instructions = value(a);
        } else if (a == "--speed") {
            conversing(a);
            o.speed = static_cast<float>(parseNumber(a, value(a)));
            if (*o.speed < 0.5f || *o.speed > 1.5f)
                throw UsageError("--speed must be between 0.5 and 1.5");
        } else if (a == "--turn-detection") {
            conversing(a);
            o.turnDetection = value(a);
            if (o.turnDetection != "server_vad" && o.turnDetection != "semantic_vad" && o.turnDetection != "none")
                throw UsageError("--turn-detection must be server_vad, semantic_vad or none");
        } else if (a == "--noise-reduction") {
            conversing(a);
            o.noiseReduction = value(a);
        } else if (a == "--transcription-model") {
            conversing(a);
            o.transcriptionModel = value(a);
        } else if (a == "--tool-choice") {
            conversing(a);
            o.toolChoice = value(a);
        } else if (a == "--tools") {
            conversing(a);
            o.toolsFile = value(a);
        } else if (a == "--tool-results") {
            conversing(a);
            o.toolResultsFile = value(a);
        } else if (a == "--language") {
            transcribing(a);
            o.language = value(a);
        } else if (a == "--delay") {
            transcribing(a);
            o.delay = value(a);
        } else if (a == "--commit-every") {
            transcribing(a);
            o.commitEverySeconds = parseNumber(a, value(a));
            // Each commit asks for one transcript; shorter pieces would
            // mostly cut words apart.
            if (o.commitEverySeconds < 2)
                throw UsageError("--commit-every must be at least 2 seconds");
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            throw UsageError("unknown option " + a);
        } else {
            if (!o.input.empty())
                throw UsageError("more than one input file given");
            o.input = a;
        }
    }
    if (o.useToken && o.live)
        throw UsageError("--token is for the simulator; with --live give --app-id and --app-secret");
    if (o.live && !o.simulatorUrl.empty())
        throw UsageError("--live and --simulator exclude each other");
    if (o.input.empty())
        o.input = defaultSamplePath();
    return o;
}

} // namespace orvanta::cli
