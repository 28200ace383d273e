#include "tools/simulator/DelayLine.h"

#include <array>
#include <deque>
#include <memory>
#include <string>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

namespace orvanta::simulator {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

class DelayLine : public std::enable_shared_from_this<DelayLine> {
 public:
  DelayLine(tcp::socket a, tcp::socket b, Clock::duration delay)
      : a_(std::move(a)), b_(std::move(b)), delay_(delay), up_(a_, b_), down_(b_, a_) {}

  void start() {
    read(up_);
    read(down_);
  }

 private:
  struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the sending side ended here
    bool failed = false;
  };

  struct Direction {
    Direction(tcp::socket& f, tcp::socket& t) : from(f), to(t), timer(f.get_executor()) {}
    tcp::socket& from;
    tcp::socket& to;
    std::array<char, 16 * 1024> buffer{};
    std::deque<Chunk> queue;
    net::steady_timer timer;
    bool writing = false;
    bool waiting = false;
    bool ended = false;
  };

  void read(Direction& d) {
    d.from.async_read_some(net::buffer(d.buffer), [self = shared_from_this(), &d](boost::system::error_code ec,
                                                                                 std::size_t n) {
      const auto due = Clock::now() + self->delay_;
      if (n > 0) d.queue.push_back({due, std::string(d.buffer.data(), n)});
      if (ec) {
        if (ec != net::error::operation_aborted) d.queue.push_back({due, {}, ec != net::error::eof});
      } else {
        self->read(d);
      }
      self->pass(d);
    });
  }

  void pass(Direction& d) {
    if (dropped_ || d.writing || d.waiting || d.queue.empty()) return;
    Chunk& chunk = d.queue.front();
    if (chunk.due > Clock::now()) {
      d.waiting = true;
      d.timer.expires_at(chunk.due);
      d.timer.async_wait([self = shared_from_this(), &d](boost::system::error_code ec) {
        d.waiting = false;
        if (!ec) self->pass(d);
      });
      return;
    }
    if (chunk.bytes.empty()) {
      if (chunk.failed) {
        dropBoth();
        return;
      }
      boost::system::error_code ignored;
      d.to.shutdown(tcp::socket::shutdown_send, ignored);
      d.ended = true;
      d.queue.pop_front();
      if (up_.ended && down_.ended) dropBoth();
      return;
    }
    d.writing = true;
    net::async_write(d.to, net::buffer(chunk.bytes),
                     [self = shared_from_this(), &d](boost::system::error_code ec, std::size_t) {
                       d.writing = false;
                       if (ec) {
                         self->dropBoth();
                         return;
                       }
                       d.queue.pop_front();
                       self->pass(d);
                     });
  }

  // Queued chunks stay until the relay goes: a write in flight may still use one.
  void dropBoth() {
    if (dropped_) return;
    dropped_ = true;
    boost::system::error_code ignored;
    for (auto* s : {&a_, &b_}) {
      s->shutdown(tcp::socket::shutdown_both, ignored);
      s->close(ignored);
    }
    up_.timer.cancel();
    down_.timer.cancel();
  }

  tcp::socket a_;
  tcp::socket b_;
  const Clock::duration delay_;
  Direction up_;
  Direction down_;
  bool dropped_ = false;
};

}  // namespace

void startDelayLine(tcp::socket a, tcp::socket b, Clock::duration delay) {
  std::make_shared<DelayLine>(std::move(a), std::move(b), delay)->start();
}

}  // namespace orvanta::simulator
