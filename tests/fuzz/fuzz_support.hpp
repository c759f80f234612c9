#pragma once

// Helpers shared by the fuzz targets; nothing here needs the test framework, so the targets build as
// libFuzzer programs as well.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "fw/util/stream_socket.hpp"
#include "mv/log/log.hpp"

namespace tests::fuzz {

using bytes_t = std::vector<std::uint8_t>;

// Records are built (Debug threshold, so every trace text is formatted) and thrown away.
inline void quiet_log() {
  struct sink_t : mv::log::cf_log_t {
    void write(int, std::string_view) override {}
    void out_of_memory() noexcept override {}
  };
  static const bool installed = [] {
    mv::log::set_log(std::make_shared<sink_t>());
    mv::log::threshold = mv::log::Debug;
    return true;
  }();
  (void)installed;
}

// A byte stream over an in-memory input: reads hand out the input in chunks of varying size and then
// report the end of the stream; writes accept a varying part of what they are given and keep it. The
// sizes follow from the input, so that a run can be repeated. What was read and written lives in a
// shared record, so it outlives the stream, which the link under test destroys when it fails.
class memory_stream_t : public fw::util::stream_socket_t {
public:
  struct record_t {
    const std::uint8_t *input = nullptr;
    std::size_t input_size = 0;
    std::size_t consumed = 0;
    bytes_t written;
    bool closed = false;
  };

  memory_stream_t(boost::asio::any_io_executor executor, std::shared_ptr<record_t> record)
      : executor_(std::move(executor)), record_(std::move(record)), rng_(seed(*record_)) {}

  void async_read_some(const boost::asio::mutable_buffer &buffer, handler_t handler) override {
    record_t &r = *record_;
    const std::size_t left = r.input_size - r.consumed;
    if (left == 0 || buffer.size() == 0) {
      boost::asio::post(executor_, [h = std::move(handler)] { h(boost::asio::error::eof, 0); });
      return;
    }
    const std::size_t n = std::min({left, buffer.size(), chunk()});
    std::memcpy(buffer.data(), r.input + r.consumed, n);
    r.consumed += n;
    boost::asio::post(executor_, [h = std::move(handler), n] { h(boost::system::error_code(), n); });
  }

  void async_write_some(const std::vector<boost::asio::const_buffer> &buffers, handler_t handler) override {
    std::size_t budget = chunk();
    std::size_t n = 0;
    for (const auto &b : buffers) {
      const std::size_t take = std::min(budget - n, b.size());
      const auto *p = static_cast<const std::uint8_t *>(b.data());
      record_->written.insert(record_->written.end(), p, p + take);
      n += take;
      if (n == budget) break;
    }
    boost::asio::post(executor_, [h = std::move(handler), n] { h(boost::system::error_code(), n); });
  }

  void close() override { record_->closed = true; }
  boost::asio::any_io_executor get_executor() override { return executor_; }

private:
  static std::uint64_t seed(const record_t &r) {
    std::uint64_t h = 0xcbf29ce484222325u ^ r.input_size;
    for (std::size_t i = 0; i < r.input_size; ++i) h = (h ^ r.input[i]) * 0x100000001b3u;
    return h;
  }
  // Mostly small pieces, sometimes everything at once.
  std::size_t chunk() { return rng_() % 4 == 0 ? static_cast<std::size_t>(-1) : 1 + rng_() % 48; }

  boost::asio::any_io_executor executor_;
  std::shared_ptr<record_t> record_;
  std::mt19937_64 rng_;
};

// Runs f, taking the failure E that it declares for malformed input; whether it returned normally.
template <class E, class F> bool declared_failure_or(F &&f) {
  try {
    f();
    return true;
  } catch (const E &) {
    return false;
  }
}

inline std::uint32_t load_le32(const std::uint8_t *p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

} // namespace tests::fuzz
