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
using Lines = std::vector<std::string>;

// The calls since the last take, each audio call with its samples.
Lines takeCalls(RecordingDelegate& delegate) {
    Lines calls = delegate.take();
    for (std::string& call : calls)
        if (call.rfind("onResponseAudioReceived(", 0) == 0)
            for (int16_t sample : delegate.lastSamples)
                call += "," + std::to_string(sample);
    return calls;
}

Lines* logTarget = nullptr;

std::string comparable(const std::string& line) {
    static const std::string invalid = "[OpenAIWebSocketClient] Received invalid JSON object: ";
    return line.rfind(invalid, 0) == 0 ? invalid : line;
}

std::string describe(bool connected, bool activeResponse, const RealtimeSession& s) {
    return std::string(connected ? "connected " : "- ") + (activeResponse ? "responding " : "- ") + test::membersOf(s);
}

struct Side {
    std::string state;
    Lines calls, log;
    bool operator==(const Side& o) const { return state == o.state && calls == o.calls && log == o.log; }
};

// What feeding one message does: the log lines it writes, the calls it makes.
template <typename Feed>
Side observe(RecordingDelegate& delegate, Feed feed) {
    Side side;
    logTarget = &side.log;
    feed();
    logTarget = nullptr;
    side.calls = takeCalls(delegate);
    return side;
}

struct NewClient {
    explicit NewClient(const char* name) : name(name), internals("gpt-realtime-2") { internals.setDelegate(&delegate); }
    Side run(const std::vector<uint8_t>& message) {
        Side side = observe(delegate, [&] { internals.onMessage(std::vector<uint8_t>(message), true); });
        side.state = describe(internals.isConnected.load(), internals.hasActiveResponse.load(), internals.getSession());
        if (internals.hasActiveSession() == internals.getSession().id.empty())
            side.state += " (active-session flag disagrees with the mirror)";
        return side;
    }
    const char* name;
    RecordingDelegate delegate;
    OpenAIWebSocketClient::Internals internals;
};

struct Harness {
    Harness() : asBuilt("as built"), large("large-message way") {
        Logger::setLevel(Logger::Level::Debug);
        Logger::setSink([](Logger::Level level, const std::string& line) {
            if (logTarget != nullptr)
                logTarget->push_back(std::string(Logger::levelName(level)) + " " + comparable(line));
        });
        reference.delegate = &referenceDelegate;
    }
    RecordingDelegate referenceDelegate;
    ReferenceClient reference;
    NewClient asBuilt, large;
};

void print(const char* title, const Side& side) {
    std::fprintf(stderr, "--- %s\nstate: %s\n", title, side.state.c_str());
    for (const Lines* lines : {&side.calls, &side.log})
        for (const std::string& line : *lines)
            std::fprintf(stderr, "%s\n", line.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* harness = new Harness(); // lives for the whole run
    const std::vector<uint8_t> message(data, data + size);
    harness->large.internals.setLargeMessageLimits(0, 1 + size % 7);
    ReferenceClient& reference = harness->reference;
    Side expected = observe(harness->referenceDelegate, [&] { reference.onMessage(message, true); });
    expected.state = describe(reference.isConnected, reference.hasActiveResponse, reference.session);
    for (NewClient* client : {&harness->asBuilt, &harness->large}) {
        const Side actual = client->run(message);
        if (!(actual == expected)) {
            std::fprintf(stderr, "The %s client disagrees with the reference.\n", client->name);
            print("reference", expected);
            print(client->name, actual);
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
