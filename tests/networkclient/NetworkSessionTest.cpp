#include "networkclient/NetworkSession.h"
#include "networkclient/support/LocalHttpServer.h"
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
using testsupport::HttpReply;
using testsupport::HttpRequest;
using testsupport::LocalHttpServer;

namespace {

const std::vector<std::string> jsonHeader{"Content-Type: application/json"};

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

TEST(NetworkSession, DeliversEachResponseOnceOnAThreadOfItsOwn) {
    LocalHttpServer server([](const HttpRequest& request) { return HttpReply{200, "echo " + request.body}; });
    Inbox inbox;
    NetworkSession session;

    const int first = session.makePostRequest(server.baseURL(), jsonHeader, "{\"a\":1}",
                                              [&](NetworkResponse r) { inbox.add(r); });
    const int second = session.makePostRequest(
        server.baseURL(), jsonHeader, "{\"b\":2}",
        [](NetworkResponse r, void* userData) { static_cast<Inbox*>(userData)->add(r); }, &inbox);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
    ASSERT_TRUE(inbox.waitFor(2));

    std::map<int, std::string> bodies;
    for (const auto& r : inbox.all())
        bodies[r.requestID] = r.body;
    EXPECT_EQ(bodies, (std::map<int, std::string>{{1, "echo {\"a\":1}"}, {2, "echo {\"b\":2}"}}));
    for (const auto& id : inbox.callingThreads())
        EXPECT_NE(id, std::this_thread::get_id());
}

TEST(NetworkSession, ManyThreadsPostingAtOnceGetOneResponseEach) {
    LocalHttpServer server([](const HttpRequest& request) { return HttpReply{200, request.body}; });
    Inbox inbox;
    NetworkSession session;
    constexpr int threads = 4, perThread = 8;
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                session.makePostRequest(server.baseURL(), jsonHeader, std::to_string(t * perThread + i),
                                        [&](NetworkResponse r) { inbox.add(r); });
        });
    }
    for (auto& p : posters)
        p.join();
    ASSERT_TRUE(inbox.waitFor(threads * perThread));
    std::set<int> ids;
    std::set<std::string> bodies;
    for (const auto& r : inbox.all()) {
        ids.insert(r.requestID);
        bodies.insert(r.body);
        EXPECT_EQ(r.statusCode, 200);
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(threads * perThread));
    EXPECT_EQ(bodies.size(), static_cast<std::size_t>(threads * perThread));
    EXPECT_EQ(inbox.all().size(), static_cast<std::size_t>(threads * perThread));
}

TEST(NetworkSession, DestroyedWithARequestInFlightNeverCallsBack) {
    LocalHttpServer server([](const HttpRequest&) {
        HttpReply reply;
        reply.hang = true;
        return reply;
    });
    auto alive = std::make_shared<int>(0);
    std::atomic<int> calls{0};
    {
        NetworkSession session;
        session.makePostRequest(server.baseURL(), jsonHeader, "{}",
                                [alive, &calls](NetworkResponse) { ++calls; });
        session.makePostRequest(
            server.baseURL(), jsonHeader, "{}", [](NetworkResponse, void* c) { ++*static_cast<std::atomic<int>*>(c); },
            &calls);
        ASSERT_TRUE(server.waitForRequests(2, 10s));
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
    LocalHttpServer server([](const HttpRequest&) {
        return HttpReply{200, "{\"data\":{\"token\":\"ek_live_token\"},\"success\":true}"};
    });
    LogCapture capture(LogLevel::Debug);
    {
        NetworkSession session;
        Inbox inbox;
        session.makePostRequest(server.baseURL(), jsonHeader, "{\"appId\":\"app-1\",\"appSecret\":\"hunter2\"}",
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
