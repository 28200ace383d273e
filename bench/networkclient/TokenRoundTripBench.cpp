// Time from a request to its callback against a loopback token service:
// getToken through the provider, the bare session in both wait modes, and a
// plain blocking curl_easy_perform of the same request as the yardstick. The
// service is the simulator's token endpoint, which keeps connections alive.

#include "OrvantaSDK/Orvanta.h"
#include "networkclient/NetworkSession.h"
#include "networkclient/TransferSettings.h"
#include "token/OpenAITokenProvider.h"
#include "token/TokenServiceEndpoint.h"
#include "tools/simulator/Simulator.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <condition_variable>
#include <mutex>

using namespace orvanta;
using namespace orvanta::extensions::openai;

namespace {

const char* const requestBody =
    "{\"appId\":\"app-1\",\"appSecret\":\"hunter2\",\"sessionConfig\":{\"model\":\"gpt-realtime-2\",\"type\":\"realtime\"}}";

orvanta::simulator::Simulator& server() {
    static orvanta::simulator::Simulator instance{orvanta::simulator::SimulatorOptions{}};
    static const bool started = (instance.start(), true);
    (void)started;
    return instance;
}

std::string serviceURL() {
    return server().tokenBaseUrl() + tokenServicePath;
}

// One callback at a time, handed from the delivery thread to the benchmark.
class Signal {
public:
    void raise() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            raised = true;
        }
        condition.notify_one();
    }
    void waitAndReset() {
        std::unique_lock<std::mutex> lock(mutex);
        condition.wait(lock, [&] { return raised; });
        raised = false;
    }

private:
    std::mutex mutex;
    std::condition_variable condition;
    bool raised = false;
};

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

void BM_BareCurlEasyPerform(benchmark::State& state) {
    curl_global_init(CURL_GLOBAL_ALL);
    const std::string url = serviceURL();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    for (auto _ : state) {
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, requestBody);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        if (curl_easy_perform(easy) != CURLE_OK)
            state.SkipWithError("transfer failed");
        curl_easy_cleanup(easy);
    }
    curl_slist_free_all(headers);
    curl_global_cleanup();
}

void BM_GetToken(benchmark::State& state) {
    Orvanta::setValue("orvanta", "appID", std::string("app-1"));
    Orvanta::setValue("orvanta", "appSecret", std::string("hunter2"));
    setTokenServiceEndpointOverride(server().tokenBaseUrl());
    Signal done;
    bool ok = true;
    for (auto _ : state) {
        OpenAITokenProvider::shared().getToken(
            [&](const Result<std::string>& result) {
                ok = ok && result.hasValue();
                done.raise();
            },
            "{\"model\":\"gpt-realtime-2\",\"type\":\"realtime\"}");
        done.waitAndReset();
    }
    if (!ok)
        state.SkipWithError("a token request failed");
    clearTokenServiceEndpointOverride();
}

// range(0): 1 = wake on socket activity (curl_multi_poll), 0 = plain 100 ms waits.
void BM_SessionPost(benchmark::State& state) {
    networkclient::TransferSettings settings;
    settings.wakeOnSocketActivity = state.range(0) != 0;
    networkclient::setTransferSettings(settings);
    {
        networkclient::NetworkSession session;
        const std::string url = serviceURL();
        const std::vector<std::string> headers{"Content-Type: application/json"};
        Signal done;
        for (auto _ : state) {
            session.makePostRequest(url, headers, requestBody, [&](networkclient::NetworkResponse) { done.raise(); });
            done.waitAndReset();
        }
    }
    networkclient::resetTransferSettings();
}

} // namespace

BENCHMARK(BM_BareCurlEasyPerform)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetToken)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SessionPost)->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareCurlEasyPerform)->Name("BM_BareCurlEasyPerform/again")->UseRealTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
