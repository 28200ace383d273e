// Differential: arbitrary text through the protocol client's message path
// and through the first build's (ReferenceClient), which must agree on
//  - the delegate calls, with all their arguments (samples included),
//  - the state: connected flag, active response, the session mirror,
//  - the host log lines, level and text, with one exception: of "Received
//    invalid JSON object: " lines only that prefix is compared, since the
//    text after it is each parser's own wording of the fault.
// Two clients run beside the reference: one as built, one that sends every
// message the way of large ones (skeleton, strings held out from a length
// the input chooses). A message starting with 'X' closes all three
// connections afterwards, so that sessions start over now and then.
// Any disagreement aborts with both sides printed.

#include "OrvantaSDK/Logger.h"
#include "ReferenceClient.h"
#include "realtime/OpenAIWebSocketClientInternals.h"
#include "tests/realtime/RealtimeTestSupport.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using orvanta::Logger;
using orvanta::extensions::openai::OpenAIWebSocketClient;
using orvanta::extensions::openai::RealtimeSession;
using orvanta::extensions::openai::reference::ReferenceClient;

using Lines = std::vector<std::string>;

using orvanta::extensions::openai::test::RecordingDelegate;

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
    return std::string(connected ? "connected " : "- ") + (activeResponse ? "responding " : "- ") + "[" + s.id + "|" +
           s.object + "|" + s.model + "|" + s.instructions + "|" + s.voice + "|" + s.inputAudioFormat + "|" +
           s.outputAudioFormat + "|" + s.toolChoice + "|" + std::to_string(s.speed) + "]";
}

struct Side {
    std::string state;
    Lines calls;
    Lines log;
};

struct NewClient {
    explicit NewClient(const char* name) : name(name), internals("gpt-realtime-2") { internals.setDelegate(&delegate); }
    Side run(const std::vector<uint8_t>& message) {
        Side side;
        logTarget = &side.log;
        internals.onMessage(std::vector<uint8_t>(message), true);
        logTarget = nullptr;
        side.calls = takeCalls(delegate);
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
    NewClient asBuilt;
    NewClient large;
};

void print(const char* title, const Side& side) {
    std::fprintf(stderr, "--- %s\nstate: %s\n", title, side.state.c_str());
    for (const std::string& call : side.calls)
        std::fprintf(stderr, "call: %s\n", call.c_str());
    for (const std::string& line : side.log)
        std::fprintf(stderr, "log: %s\n", line.c_str());
}

void expectSame(const Side& expected, const NewClient& client, const Side& actual) {
    if (expected.state == actual.state && expected.calls == actual.calls && expected.log == actual.log)
        return;
    std::fprintf(stderr, "The %s client disagrees with the reference.\n", client.name);
    print("reference", expected);
    print(client.name, actual);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* harness = new Harness(); // lives for the whole run
    const std::vector<uint8_t> message(data, data + size);
    harness->large.internals.setLargeMessageLimits(0, 1 + size % 7);

    Side expected;
    logTarget = &expected.log;
    harness->reference.onMessage(message, true);
    logTarget = nullptr;
    expected.calls = takeCalls(harness->referenceDelegate);
    expected.state =
        describe(harness->reference.isConnected, harness->reference.hasActiveResponse, harness->reference.session);

    for (NewClient* client : {&harness->asBuilt, &harness->large})
        expectSame(expected, *client, client->run(message));

    if (size > 0 && data[0] == 'X') {
        harness->reference.onClose();
        for (NewClient* client : {&harness->asBuilt, &harness->large}) {
            client->internals.onClose();
            client->delegate.take();
        }
    }
    return 0;
}
