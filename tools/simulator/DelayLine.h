#pragma once

#include <chrono>

#include <boost/asio/ip/tcp.hpp>

namespace orvanta::simulator {

/// Relays bytes between two connected sockets in both directions, handing
/// each chunk on `delay` after it was read, in order. Reading never waits
/// for the far side, so the line adds latency without limiting throughput.
/// The end of one direction (FIN) is passed on just as late; an error on
/// either side drops both. On the I/O thread; the relay keeps itself alive
/// through its pending operations.
void startDelayLine(boost::asio::ip::tcp::socket a, boost::asio::ip::tcp::socket b,
                    std::chrono::steady_clock::duration delay);

}  // namespace orvanta::simulator
