// Differential: arbitrary text through the protocol client's message path and
// through the first build's (ReferenceClient). Delegate calls (samples
// included), state (connection, response, session mirror) and host log lines
// must agree; of "Received invalid JSON object: " lines only the prefix is
// compared, the rest being each parser's own wording. Beside the client as
// built runs one that takes every message the way of large ones. A message
// starting with 'X' closes all connections afterwards, so sessions restart.

#include "ReferenceClient.h"
#include "tests/realtime/RealtimeTestSupport.h"

#include <cstdio>
#include <cstdlib>

namespace {

using namespace orvanta::extensions::openai;
using orvanta::Logger;
using reference::ReferenceClient;
using test::RecordingDelegate;

std::string* logTarget = nullptr;

std::string describe(bool connected, bool responding, const RealtimeSession& s) {
    return std::string(connected ? "connected " : "- ") + (responding ? "responding " : "- ") + test::membersOf(s);
}

// What feeding one message does, one item a line: the log lines it writes,
// the calls it makes (audio with its samples), then the state.
template <typename Feed, typename State>
std::string observe(RecordingDelegate& delegate, Feed feed, State state) {
    std::string out;
    logTarget = &out;
    feed();
    logTarget = nullptr;
    for (const std::string& call : delegate.take()) {
        out += call;
        if (call.rfind("onResponseAudioReceived(", 0) == 0)
            for (int16_t sample : delegate.lastSamples)
                out += "," + std::to_string(sample);
        out += "\n";
    }
    return out + state() + "\n";
}

struct NewClient {
    explicit NewClient(const char* name) : name(name), internals("gpt-realtime-2") { internals.setDelegate(&delegate); }
    std::string run(const std::vector<uint8_t>& message) {
        return observe(delegate, [&] { internals.onMessage(std::vector<uint8_t>(message), true); }, [&] {
            const bool agree = internals.hasActiveSession() != internals.getSession().id.empty();
            return describe(internals.isConnected.load(), internals.hasActiveResponse.load(), internals.getSession()) +
                   (agree ? "" : " (active-session flag disagrees with the mirror)");
        });
    }
    const char* name;
    RecordingDelegate delegate;
    OpenAIWebSocketClient::Internals internals;
};

struct Harness {
    Harness() : asBuilt("as built"), large("large-message way") {
        Logger::setLevel(Logger::Level::Debug);
        Logger::setSink([](Logger::Level level, const std::string& line) {
            static const std::string invalid = "[OpenAIWebSocketClient] Received invalid JSON object: ";
            if (logTarget != nullptr)
                *logTarget += std::string(Logger::levelName(level)) + " " +
                              (line.rfind(invalid, 0) == 0 ? invalid : line) + "\n";
        });
        reference.delegate = &referenceDelegate;
    }
    RecordingDelegate referenceDelegate;
    ReferenceClient reference;
    NewClient asBuilt, large;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* harness = new Harness(); // lives for the whole run
    const std::vector<uint8_t> message(data, data + size);
    harness->large.internals.setLargeMessageLimits(0, 1 + size % 7);
    ReferenceClient& reference = harness->reference;
    const std::string expected = observe(harness->referenceDelegate, [&] { reference.onMessage(message, true); }, [&] {
        return describe(reference.isConnected, reference.hasActiveResponse, reference.session);
    });
    for (NewClient* client : {&harness->asBuilt, &harness->large}) {
        const std::string actual = client->run(message);
        if (actual != expected) {
            std::fprintf(stderr, "The %s client disagrees with the reference.\n--- reference\n%s--- %s\n%s",
                         client->name, expected.c_str(), client->name, actual.c_str());
            std::abort();
        }
    }
    if (size > 0 && data[0] == 'X') {
        reference.onClose();
        for (NewClient* client : {&harness->asBuilt, &harness->large}) {
            client->internals.onClose();
            client->delegate.take();
        }
    }
    return 0;
}
