// Round trip and throughput of 64 KiB text messages on loopback against a
// small Beast echo server: our client beside a Boost.Beast client, same server,
// same run. Also the cost of constructing a client.
#include "websocket/WebSocketClient.h"

#include <benchmark/benchmark.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace beast = boost::beast;
namespace net = boost::asio;
using orvanta::websocket::WebSocketClient;
using tcp = net::ip::tcp;

namespace {

constexpr std::size_t messageSize = 64 * 1024;
constexpr int burst = 32;

// A Boost.Beast echo server on 127.0.0.1, a thread per connection, alive
// until the process ends.
class EchoServer {
public:
    EchoServer() : acceptor(ioc, {net::ip::make_address("127.0.0.1"), 0}) {
        std::thread([this] {
            for (;;) {
                tcp::socket socket(ioc);
                acceptor.accept(socket);
                socket.set_option(tcp::no_delay(true));
                std::thread([s = std::move(socket)]() mutable {
                    beast::websocket::stream<tcp::socket> ws(std::move(s));
                    ws.read_message_max(64u << 20);
                    beast::error_code ec;
                    ws.accept(ec);
                    for (beast::flat_buffer buffer; !ec; buffer.clear()) {
                        ws.read(buffer, ec);
                        ws.text(ws.got_text());
                        if (!ec) ws.write(buffer.data(), ec);
                    }
                }).detach();
            }
        }).detach();
    }
    unsigned short port() const { return acceptor.local_endpoint().port(); }
    std::string url() const { return "ws://127.0.0.1:" + std::to_string(port()) + "/"; }

private:
    net::io_context ioc;
    tcp::acceptor acceptor;
};

EchoServer& server() {
    static EchoServer s;
    return s;
}

std::vector<uint8_t> message() {
    std::vector<uint8_t> m(messageSize);
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<uint8_t>('a' + i % 26);
    return m;
}

// Our client with a counter of echoed messages.
struct Ours {
    Ours() : client(server().url(), {}, 4000, 2000, "") {
        client.onOpenHandler = [this] { bump(opened); };
        client.onMessageHandler = [this](const std::vector<uint8_t>& data, bool) {
            if (data.size() == messageSize) bump(received);
        };
        client.start();
        waitFor(opened, 1);
    }
    void bump(long& counter) {
        std::lock_guard<std::mutex> lock(mutex);
        ++counter;
        changed.notify_all();
    }
    void waitFor(long& counter, long target) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return counter >= target; });
    }
    WebSocketClient client;
    std::mutex mutex;
    std::condition_variable changed;
    long opened = 0;
    long received = 0;
};

struct Beast {
    Beast() : ws(ioc) {
        net::ip::tcp::resolver resolver(ioc);
        net::connect(ws.next_layer(), resolver.resolve("127.0.0.1", std::to_string(server().port())));
        ws.next_layer().set_option(net::ip::tcp::no_delay(true));
        ws.handshake("127.0.0.1", "/");
        ws.text(true);
        ws.read_message_max(64u << 20);
    }
    net::io_context ioc;
    beast::websocket::stream<net::ip::tcp::socket> ws;
    beast::flat_buffer buffer;
};

void OursRoundTrip(benchmark::State& state) {
    Ours ours;
    const auto m = message();
    long expected = 0;
    for (auto _ : state) {
        ours.client.send(m, true, 0);
        ours.waitFor(ours.received, ++expected);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * messageSize * 2));
}

void BeastRoundTrip(benchmark::State& state) {
    Beast b;
    const auto m = message();
    for (auto _ : state) {
        b.ws.write(net::buffer(m));
        b.buffer.clear();
        b.ws.read(b.buffer);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * messageSize * 2));
}

// `burst` messages in flight: all sent, then all echoes awaited.
void OursThroughput(benchmark::State& state) {
    Ours ours;
    const auto m = message();
    long expected = 0;
    for (auto _ : state) {
        for (int i = 0; i < burst; ++i) ours.client.send(m, true, 0);
        expected += burst;
        ours.waitFor(ours.received, expected);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * burst * messageSize * 2));
}

void BeastThroughput(benchmark::State& state) {
    Beast b;
    const auto m = message();
    for (auto _ : state) {
        // Writes chained one after another while reads drain the echoes, both
        // on this thread's event loop.
        int written = 0, read = 0;
        std::function<void()> writeNext = [&] {
            b.ws.async_write(net::buffer(m), [&](beast::error_code ec, std::size_t) {
                if (!ec && ++written < burst) writeNext();
            });
        };
        std::function<void()> readNext = [&] {
            b.buffer.clear();
            b.ws.async_read(b.buffer, [&](beast::error_code ec, std::size_t) {
                if (!ec && ++read < burst) readNext();
            });
        };
        writeNext();
        readNext();
        b.ioc.restart();
        b.ioc.run();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * burst * messageSize * 2));
}

// What one session attempt pays before any network activity: the client's
// construction (TLS trust included) for a secure and a plain URL.
void ConstructSecure(benchmark::State& state) {
    for (auto _ : state) {
        WebSocketClient client("wss://127.0.0.1:1/v1/realtime", {"realtime"}, 4000, 2000, "");
        benchmark::DoNotOptimize(&client);
    }
}

void ConstructPlain(benchmark::State& state) {
    for (auto _ : state) {
        WebSocketClient client("ws://127.0.0.1:1/v1/realtime", {"realtime"}, 4000, 2000, "");
        benchmark::DoNotOptimize(&client);
    }
}

} // namespace

BENCHMARK(ConstructSecure)->Unit(benchmark::kMicrosecond);
BENCHMARK(ConstructPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(OursRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BeastRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(OursThroughput)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BeastThroughput)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
