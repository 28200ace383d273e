#include "networkclient/NetworkSession.h"
#include "tools/simulator/Simulator.h"
#include "utils/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

using namespace orvanta::networkclient;
using namespace std::chrono_literals;
using orvanta::logging::LogDestination;
using orvanta::logging::LogLevel;
using orvanta::simulator::Simulator;
using orvanta::simulator::SimulatorOptions;

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

// Collects the responses of one test; any thread may add.
class Inbox {
public:
    // Notifies under the lock: the waiter may destroy the inbox as soon as it
    // can take the lock.
    void add(const NetworkResponse& response) {
        std::lock_guard<std::mutex> lock(mutex);
        responses.push_back(response);
        threads.push_back(std::this_thread::get_id());
        changed.notify_all();
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return responses.size() >= count; });
    }
    std::vector<NetworkResponse> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return responses;
    }
    std::vector<std::thread::id> callingThreads() {
        std::lock_guard<std::mutex> lock(mutex);
        return threads;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<NetworkResponse> responses;
    std::vector<std::thread::id> threads;
};

class RecordingDestination : public LogDestination {
public:
    void log(LogLevel, const std::string& record) override {
        std::lock_guard<std::mutex> lock(mutex);
        records.push_back(record);
    }
    std::string joined() {
        std::lock_guard<std::mutex> lock(mutex);
        std::string all;
        for (const auto& r : records)
            all += r + "\n";
        return all;
    }

private:
    std::mutex mutex;
    std::vector<std::string> records;
};

// Attaches a recorder to the client's logger for one scope. Recorders live
// until the process ends: a detached delivery thread may still log after the
// scope.
RecordingDestination* newRecorder() {
    static std::mutex mutex;
    static std::vector<std::unique_ptr<RecordingDestination>> recorders;
    std::lock_guard<std::mutex> lock(mutex);
    recorders.push_back(std::make_unique<RecordingDestination>());
    return recorders.back().get();
}

class LogCapture {
public:
    explicit LogCapture(LogLevel level) : destination(newRecorder()) {
        logger.setLogLevel(level);
        logger.setLogDestination(destination);
    }
    ~LogCapture() {
        logger.setLogDestination(nullptr);
        logger.setLogLevel(LogLevel::Info);
    }
    std::string text() { return destination->joined(); }

private:
    RecordingDestination* destination;
};

// A client whose requests finish on the first process() after post, with a
// hook that runs after the pending count has been read and before it is
// returned to the worker.
class FakeClient : public NetworkClient {
public:
    std::function<void()> onCount;
    std::atomic<bool> failPosts{false};

    int post(const std::string&, const std::vector<std::string>&, const std::string& body) override {
        if (failPosts)
            return 0;
        std::lock_guard<std::mutex> lock(mutex);
        pending.push_back({++counter, 200, body, {}});
        return counter;
    }
    NetworkResponse* process() override {
        std::lock_guard<std::mutex> lock(mutex);
        if (pending.empty())
            return nullptr;
        last = pending.front();
        pending.pop_front();
        return &last;
    }
    std::size_t getNumberOfPendingRequests() override {
        std::size_t count;
        {
            std::lock_guard<std::mutex> lock(mutex);
            count = pending.size();
        }
        if (onCount)
            onCount();
        return count;
    }
    void waitForActivity(std::chrono::milliseconds timeout) override {
        std::unique_lock<std::mutex> lock(mutex);
        woken.wait_for(lock, timeout, [&] { return wake; });
        wake = false;
    }
    void wakeUp() override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            wake = true;
        }
        woken.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable woken;
    bool wake = false;
    int counter = 0;
    std::deque<NetworkResponse> pending;
    NetworkResponse last;
};

// Each callback gets the response to its own request, once, on the session's
// thread, whichever thread posted.
TEST(NetworkSession, ManyThreadsPostingAtOnceGetTheirOwnResponseOnce) {
    Service service;
    Inbox inbox;
    NetworkSession session;
    constexpr int threads = 4, perThread = 8;
    struct Expected {
        Inbox* inbox;
        int status;
    };
    std::mutex mutex;
    std::deque<Expected> expected;  // stable addresses for the user-data form
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const bool isGood = (t + i) % 2 == 0;
                const std::string& body = isGood ? goodBody : badBody;
                if (i % 2 == 0) {
                    session.makePostRequest(service.url(), jsonHeader, body, [&inbox, isGood](NetworkResponse r) {
                        EXPECT_EQ(r.statusCode, isGood ? 200 : 400) << r.body;
                        inbox.add(r);
                    });
                    continue;
                }
                Expected* e;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    e = &expected.emplace_back(Expected{&inbox, isGood ? 200 : 400});
                }
                session.makePostRequest(service.url(), jsonHeader, body, [](NetworkResponse r, void* d) {
                    EXPECT_EQ(r.statusCode, static_cast<Expected*>(d)->status) << r.body;
                    static_cast<Expected*>(d)->inbox->add(r);
                }, e);
            }
        });
    }
    for (auto& p : posters) p.join();
    ASSERT_TRUE(inbox.waitFor(threads * perThread));
    std::set<int> ids;
    for (const auto& r : inbox.all()) ids.insert(r.requestID);
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(threads * perThread));
    EXPECT_EQ(*ids.begin(), 1);
    EXPECT_EQ(inbox.all().size(), static_cast<std::size_t>(threads * perThread));
    for (const auto& id : inbox.callingThreads()) EXPECT_NE(id, std::this_thread::get_id());
}

TEST(NetworkSession, DestroyedWithARequestInFlightNeverCallsBack) {
    SimulatorOptions options;
    options.tokenDelay = std::chrono::minutes(10);
    Service service(options);
    auto alive = std::make_shared<int>(0);
    std::atomic<int> calls{0};
    {
        NetworkSession session;
        session.makePostRequest(service.url(), jsonHeader, "{}",
                                [alive, &calls](NetworkResponse) { ++calls; });
        session.makePostRequest(
            service.url(), jsonHeader, "{}", [](NetworkResponse, void* c) { ++*static_cast<std::atomic<int>*>(c); },
            &calls);
        ASSERT_TRUE(service.sim.waitForTokenRequests(2, 10s));
        EXPECT_EQ(alive.use_count(), 2);
    }
    // The callable was destroyed uncalled, so no late call can come.
    EXPECT_EQ(alive.use_count(), 1);
    EXPECT_EQ(calls.load(), 0);
}

TEST(NetworkSession, ARequestThatCannotStartReturnsZeroAndReleasesItsCallback) {
    LogCapture capture(LogLevel::Error);
    NetworkSession session;
    auto alive = std::make_shared<int>(0);
    EXPECT_EQ(session.makePostRequest("not a url", jsonHeader, "{}", [alive](NetworkResponse) {}), 0);
    EXPECT_EQ(alive.use_count(), 1);
    EXPECT_NE(capture.text().find(" [error] [NetworkSession] Could not make network request."), std::string::npos);
}

TEST(NetworkSession, ARequestMadeWhileTheIdleWorkerReadsTheCountStartsAtOnce) {
    auto client = std::make_unique<FakeClient>();
    FakeClient& fake = *client;
    std::mutex mutex;
    std::condition_variable counting;
    bool inCount = false;
    std::atomic<bool> armed{true};
    fake.onCount = [&] {
        if (!armed.exchange(false))
            return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            inCount = true;
        }
        counting.notify_all();
        // Widen the gap between reading the count and starting the wait.
        std::this_thread::sleep_for(100ms);
    };
    NetworkSession session(std::move(client));
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(counting.wait_for(lock, 5s, [&] { return inCount; }));
    }
    Inbox inbox;
    session.makePostRequest("http://127.0.0.1/", {}, "{}", [&](NetworkResponse r) { inbox.add(r); });
    // A lost notification would leave it for the whole 10 s idle wait.
    EXPECT_TRUE(inbox.waitFor(1, 5s));
}

TEST(NetworkSession, AThrowingCallbackDoesNotStopLaterDeliveries) {
    auto client = std::make_unique<FakeClient>();
    NetworkSession session(std::move(client));
    Inbox inbox;
    session.makePostRequest("http://127.0.0.1/", {}, "{}",
                            [](NetworkResponse) { throw std::runtime_error("callback failed"); });
    session.makePostRequest("http://127.0.0.1/", {}, "{}", [&](NetworkResponse r) { inbox.add(r); });
    EXPECT_TRUE(inbox.waitFor(1));
}

TEST(NetworkSession, DebugLinesKeepTheirShapeButNotTheSecrets) {
    SimulatorOptions options;
    options.tokenScript = {{0ms, 200, "{\"data\":{\"token\":\"ek_live_token\"},\"success\":true}"}};
    Service service(options);
    LogCapture capture(LogLevel::Debug);
    {
        NetworkSession session;
        Inbox inbox;
        session.makePostRequest(service.url(), jsonHeader, "{\"appId\":\"app-1\",\"appSecret\":\"hunter2\"}",
                                [&](NetworkResponse r) { inbox.add(r); });
        ASSERT_TRUE(inbox.waitFor(1));
        EXPECT_EQ(inbox.all()[0].body, "{\"data\":{\"token\":\"ek_live_token\"},\"success\":true}");
    }
    const std::string log = capture.text();
    EXPECT_NE(log.find(" [debug] [NetworkSession] Made network request #1 body: "
                       "{\"appId\":\"app-1\",\"appSecret\":\"***\"}"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" [debug] [NetworkSession] Received response for request #1 body: "
                       "{\"data\":{\"token\":\"***\"},\"success\":true}"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("hunter2"), std::string::npos);
    EXPECT_EQ(log.find("ek_live_token"), std::string::npos);
}

} // namespace
