#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "tools/simulator/ErasedStream.h"

namespace orvanta::simulator {

/// Turns an accepted socket into a stream: plain when `tls` is null, else
/// after the TLS server handshake (bounded by `handshakeTimeout`). Calls
/// `ready` with the stream, or `failed` with a reason and drops the socket.
/// On the I/O thread; `tls` must outlive the stream.
void openTransport(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context* tls,
                   std::chrono::steady_clock::duration handshakeTimeout, std::function<void(ErasedStream)> ready,
                   std::function<void(const std::string&)> failed);

}  // namespace orvanta::simulator
