#include "tools/simulator/ErasedStream.h"

namespace orvanta::simulator {

void ErasedStream::startRead(boost::asio::mutable_buffer buffer, ReadWriteHandler handler) {
  if (buffer.size() == 0) {
    boost::asio::post(backend_->executor(), [handler = std::move(handler)] { handler({}, 0); });
    return;
  }
  backend_->readSome(buffer, std::move(handler));
}

void ErasedStream::startWrite(std::shared_ptr<std::string> data, ReadWriteHandler handler) {
  const std::size_t total = data->size();
  if (silent_) {
    data->clear();
  } else if (dropPongs_) {
    auto kept = std::make_shared<std::string>();
    filterPongs(*data, *kept);
    data = std::move(kept);
  }
  // The layer above must see every byte as written, dropped ones included.
  if (data->empty()) {
    boost::asio::post(backend_->executor(), [handler = std::move(handler), total] { handler({}, total); });
    return;
  }
  backend_->write(boost::asio::buffer(*data),
                  [data, total, handler = std::move(handler)](boost::beast::error_code ec, std::size_t) {
                    handler(ec, ec ? 0 : total);
                  });
}

void ErasedStream::filterPongs(const std::string& in, std::string& out) {
  for (const char c : in) {
    const auto byte = static_cast<uint8_t>(c);
    if (payloadLeft_ > 0) {
      if (!dropping_) out.push_back(c);
      --payloadLeft_;
      continue;
    }
    header_[headerLen_++] = byte;
    if (headerLen_ == 2) {
      const uint8_t len7 = header_[1] & 0x7f;
      headerNeed_ = 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + ((header_[1] & 0x80) ? 4 : 0);
    }
    if (headerLen_ < 2 || headerLen_ < headerNeed_) continue;
    const uint8_t len7 = header_[1] & 0x7f;
    uint64_t length = len7;
    if (len7 == 126) length = (uint64_t{header_[2]} << 8) | header_[3];
    if (len7 == 127) {
      length = 0;
      for (int k = 0; k < 8; ++k) length = (length << 8) | header_[2 + k];
    }
    dropping_ = (header_[0] & 0x0f) == 0x0a;
    if (!dropping_) out.append(reinterpret_cast<const char*>(header_), headerLen_);
    payloadLeft_ = length;
    headerLen_ = 0;
    headerNeed_ = 2;
  }
}

}  // namespace orvanta::simulator
