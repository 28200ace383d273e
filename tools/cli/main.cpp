// orvanta-openai: the library's command-line tool (see --help).
#include "tools/cli/CommandLine.h"
#include "tools/cli/Commands.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace orvanta::cli;
    // A peer that closes its socket must not end the process mid-write.
    std::signal(SIGPIPE, SIG_IGN);

    CliOptions options;
    try {
        options = parseCommandLine(std::vector<std::string>(argv, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "orvanta-openai: " << e.what() << " (try --help)\n";
        return 2;
    }
    try {
        switch (options.command) {
        case CliOptions::Command::Help:
            std::cout << usageText();
            return 0;
        case CliOptions::Command::Converse:
            return runConverse(options);
        case CliOptions::Command::Transcribe:
            return runTranscribe(options);
        }
    } catch (const UsageError& e) {
        std::cout.flush();
        std::cerr << "orvanta-openai: " << e.what() << " (try --help)\n";
        return 2;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "orvanta-openai: " << e.what() << "\n";
        return 1;
    }
    return 1;
}
