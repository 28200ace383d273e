#include "networkclient/CURLNetworkClient.h"
#include "networkclient/NetworkSession.h"
#include "support/Recorders.h"
#include "tools/simulator/Simulator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>

using namespace orvanta::networkclient;
using namespace std::chrono_literals;
using orvanta::logging::LogLevel;
using orvanta::simulator::Simulator;
using orvanta::simulator::SimulatorOptions;
using Inbox = testsupport::Inbox<NetworkResponse>;

namespace {

const std::vector<std::string> jsonHeader{"Content-Type: application/json"};
// The simulator's token service answers by the body: 200 to the first, 400 to the second.
const std::string goodBody = "{\"appId\":\"a\",\"appSecret\":\"s\",\"sessionConfig\":{}}";
const std::string badBody = "{}";

struct Service {
    explicit Service(SimulatorOptions options = {}) : sim(std::move(options)) { sim.start(); }
    std::string url() const { return sim.tokenBaseUrl() + "/openai/realtime/client-secret"; }
    Simulator sim;
};

// `onCount` runs after the pending count has been read and before the worker gets it.
struct CountHook : CURLNetworkClient {
    std::function<void()> onCount;
    std::size_t getNumberOfPendingRequests() override {
        const std::size_t count = CURLNetworkClient::getNumberOfPendingRequests();
        if (onCount) onCount();
        return count;
    }
};

} // namespace

// Each callback, in either form, gets the response to its own request, once,
// on the session's thread, whichever thread posted.
TEST(NetworkSession, ManyThreadsPostingAtOnceGetTheirOwnResponseOnce) {
    Service service;
    Inbox inbox;
    NetworkSession session;
    constexpr int threads = 4, perThread = 8;
    struct Expected {
        Inbox* inbox;
        long status;
    } expected[threads * perThread];  // for the user-data form
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                Expected& e = expected[t * perThread + i] = {&inbox, (t + i) % 2 == 0 ? 200 : 400};
                const std::string& body = e.status == 200 ? goodBody : badBody;
                if (i % 2 == 0) {
                    session.makePostRequest(service.url(), jsonHeader, body, [&e](NetworkResponse r) {
                        EXPECT_EQ(r.statusCode, e.status) << r.body;
                        e.inbox->add(r);
                    });
                } else {
                    session.makePostRequest(service.url(), jsonHeader, body, [](NetworkResponse r, void* d) {
                        EXPECT_EQ(r.statusCode, static_cast<Expected*>(d)->status) << r.body;
                        static_cast<Expected*>(d)->inbox->add(r);
                    }, &e);
                }
            }
        });
    }
    for (auto& p : posters) p.join();
    ASSERT_NE(inbox.waitFor(threads * perThread).statusCode, 0);
    std::set<int> ids;
    for (const auto& r : inbox.all()) {
        ids.insert(r.requestID);
        EXPECT_NE(r.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(threads * perThread));
    EXPECT_EQ(*ids.begin(), 1);
    EXPECT_EQ(inbox.count(), static_cast<std::size_t>(threads * perThread));
}

TEST(NetworkSession, DestroyedWithARequestInFlightNeverCallsBack) {
    SimulatorOptions options;
    options.tokenDelay = std::chrono::minutes(10);
    Service service(options);
    auto alive = std::make_shared<int>(0);
    std::atomic<int> calls{0};
    {
        NetworkSession session;
        session.makePostRequest(service.url(), jsonHeader, "{}", [alive, &calls](NetworkResponse) { ++calls; });
        session.makePostRequest(service.url(), jsonHeader, "{}",
                                [](NetworkResponse, void* c) { ++*static_cast<std::atomic<int>*>(c); }, &calls);
        ASSERT_TRUE(service.sim.waitForTokenRequests(2, 10s));
        EXPECT_EQ(alive.use_count(), 2);
    }
    // The callable was destroyed uncalled, so no late call can come.
    EXPECT_EQ(alive.use_count(), 1);
    EXPECT_EQ(calls.load(), 0);
}

TEST(NetworkSession, ARequestThatCannotStartReturnsZeroAndReleasesItsCallback) {
    auto& log = testsupport::LogLines::attach(LogLevel::Error);
    NetworkSession session;
    auto alive = std::make_shared<int>(0);
    EXPECT_EQ(session.makePostRequest("not a url", jsonHeader, "{}", [alive](NetworkResponse) {}), 0);
    EXPECT_EQ(alive.use_count(), 1);
    EXPECT_TRUE(log.contains(" [error] [NetworkSession] Could not make network request."));
}

TEST(NetworkSession, ARequestMadeWhileTheIdleWorkerReadsTheCountStartsAtOnce) {
    Service service;
    auto client = std::make_unique<CountHook>();
    std::promise<void> counting;
    std::atomic<bool> armed{true};
    client->onCount = [&] {
        if (!armed.exchange(false)) return;
        counting.set_value();
        std::this_thread::sleep_for(100ms);  // widens the gap between reading the count and starting the wait
    };
    NetworkSession session(std::move(client));
    ASSERT_EQ(counting.get_future().wait_for(5s), std::future_status::ready);
    Inbox inbox;
    session.makePostRequest(service.url(), {}, "{}", [&](NetworkResponse r) { inbox.add(r); });
    // A lost notification would leave it for the whole 10 s idle wait.
    EXPECT_EQ(inbox.waitFor(1, 5s).requestID, 1);
}

TEST(NetworkSession, AThrowingCallbackDoesNotStopLaterDeliveries) {
    Service service;
    NetworkSession session;
    Inbox inbox;
    session.makePostRequest(service.url(), {}, "{}", [](NetworkResponse) { throw std::runtime_error("callback failed"); });
    session.makePostRequest(service.url(), {}, "{}", [&](NetworkResponse r) { inbox.add(r); });
    EXPECT_EQ(inbox.waitFor(1).requestID, 2);
}

TEST(NetworkSession, DebugLinesKeepTheirShapeButNotTheSecrets) {
    const std::string reply = "{\"data\":{\"token\":\"ek_live_token\"},\"success\":true}";
    SimulatorOptions options;
    options.tokenScript = {{0ms, 200, reply}};
    Service service(options);
    auto& log = testsupport::LogLines::attach(LogLevel::Debug);
    {
        NetworkSession session;
        Inbox inbox;
        session.makePostRequest(service.url(), jsonHeader, "{\"appId\":\"app-1\",\"appSecret\":\"hunter2\"}",
                                [&](NetworkResponse r) { inbox.add(r); });
        EXPECT_EQ(inbox.waitFor(1).body, reply);
    }
    const std::string text = log.text();
    EXPECT_NE(text.find(" [debug] [NetworkSession] Made network request #1 body: {\"appId\":\"app-1\",\"appSecret\":\"***\"}"),
              std::string::npos) << text;
    EXPECT_NE(text.find(" [debug] [NetworkSession] Received response for request #1 body: "
                        "{\"data\":{\"token\":\"***\"},\"success\":true}"), std::string::npos) << text;
    EXPECT_EQ(text.find("hunter2"), std::string::npos);
    EXPECT_EQ(text.find("ek_live_token"), std::string::npos);
}
