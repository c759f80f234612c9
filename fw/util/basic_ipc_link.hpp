#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "fw/util/stream_socket.hpp"
#include "mv/util/callback_wrapper.hpp"

namespace fw::util {

// Byte order of the 32-bit length prefix of a frame.
enum class endianness_t : int { little = 0, big = 1 };

// Frames over a byte stream: each frame is a 32-bit length N (1..64 MiB) followed by N payload bytes.
// Frames are read one after the other and handed to the delegate; outgoing frames are queued and
// written in order, gathering everything queued into one write and resuming partial writes. The first
// failure closes the stream and is reported once through on_error; the owner then destroys the link.
template <endianness_t E> class basic_ipc_link_t : public mv::util::callback_wrapper_t {
public:
  static constexpr std::uint32_t max_message_size = 64u * 1024 * 1024;
  static constexpr std::size_t initial_capacity = 4096;

  class delegate_t {
  public:
    // One complete payload; data is valid only during the call. The link may be destroyed inside.
    virtual void on_message(const std::uint8_t *data, std::uint32_t size) = 0;
    // The link failed and is dead; the owner may destroy it inside.
    virtual void on_error(std::exception_ptr error) = 0;

  protected:
    ~delegate_t() = default;
  };

  basic_ipc_link_t(delegate_t &delegate, std::unique_ptr<stream_socket_t> stream)
      : delegate_(&delegate), stream_(std::move(stream)), buffer_(new std::uint8_t[initial_capacity]),
        capacity_(initial_capacity) {
    read_next();
  }

  ~basic_ipc_link_t() override { abandon(); }

  // Queues one message of size bytes (owned from now on). Failures come later through on_error.
  void send(std::unique_ptr<std::uint8_t[]> message, std::uint32_t size) {
    if (!stream_) return;
    std::unique_ptr<std::uint8_t[]> prefix(new std::uint8_t[4]);
    encode(size, prefix.get());
    pending_.push_back({std::move(prefix), 4, 0});
    pending_.push_back({std::move(message), size, 0});
    if (in_flight_.empty()) write_next();
  }

  std::size_t receive_capacity() const noexcept { return capacity_; }

private:
  struct chunk_t {
    std::unique_ptr<std::uint8_t[]> data;
    std::uint32_t size;
    std::uint32_t written;
  };

  static void encode(std::uint32_t value, std::uint8_t *out) noexcept {
    for (int i = 0; i < 4; ++i) {
      const int shift = E == endianness_t::little ? 8 * i : 8 * (3 - i);
      out[i] = static_cast<std::uint8_t>(value >> shift);
    }
  }
  static std::uint32_t decode(const std::uint8_t *in) noexcept {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const int shift = E == endianness_t::little ? 8 * i : 8 * (3 - i);
      value |= static_cast<std::uint32_t>(in[i]) << shift;
    }
    return value;
  }

  // Reading: the 4-byte prefix, then the payload, each read until complete.
  void read_next() {
    reading_payload_ = false;
    read_done_ = 0;
    read_want_ = 4;
    read_more();
  }

  void read_more() {
    stream_->async_read_some(boost::asio::buffer(buffer_.get() + read_done_, read_want_ - read_done_),
                             wrap([this](const boost::system::error_code &ec, std::size_t n) { on_read(ec, n); }));
  }

  void on_read(const boost::system::error_code &ec, std::size_t n) {
    if (ec) return fail(std::make_exception_ptr(boost::system::system_error(ec, "read failed")));
    read_done_ += n;
    if (read_done_ < read_want_) return read_more();
    if (!reading_payload_) {
      const std::uint32_t size = decode(buffer_.get());
      if (size == 0 || size > max_message_size)
        return fail(std::make_exception_ptr(std::runtime_error("invalid message size received")));
      if (size > capacity_) {
        buffer_.reset();
        buffer_.reset(new std::uint8_t[size]);
        capacity_ = size;
      }
      reading_payload_ = true;
      read_done_ = 0;
      read_want_ = size;
      return read_more();
    }
    // The next read starts after this handler; the delegate may destroy the link, so nothing below
    // touches this object.
    boost::asio::post(stream_->get_executor(), wrap([this] { read_next(); }));
    delegate_->on_message(buffer_.get(), read_want_);
  }

  // Writing: everything pending goes out in one gather write; a partial write is resumed first.
  void write_next() {
    in_flight_.swap(pending_);
    std::vector<boost::asio::const_buffer> buffers;
    buffers.reserve(in_flight_.size());
    for (const auto &c : in_flight_) buffers.emplace_back(c.data.get() + c.written, c.size - c.written);
    stream_->async_write_some(buffers,
                              wrap([this](const boost::system::error_code &ec, std::size_t n) { on_written(ec, n); }));
  }

  void on_written(const boost::system::error_code &ec, std::size_t n) {
    if (ec) return fail(std::make_exception_ptr(boost::system::system_error(ec, "write failed")));
    while (!in_flight_.empty()) {
      chunk_t &c = in_flight_.front();
      const std::size_t take = std::min<std::size_t>(n, c.size - c.written);
      c.written += static_cast<std::uint32_t>(take);
      n -= take;
      if (c.written < c.size) break;
      in_flight_.pop_front();
    }
    // What is left of this write goes back ahead of the frames queued meanwhile.
    while (!in_flight_.empty()) {
      pending_.push_front(std::move(in_flight_.back()));
      in_flight_.pop_back();
    }
    if (!pending_.empty()) write_next();
  }

  void fail(std::exception_ptr error) {
    if (stream_) {
      try {
        stream_->close();
      } catch (...) {
      }
      stream_.reset();
    }
    in_flight_.clear();
    pending_.clear();
    buffer_.reset();
    capacity_ = 0;
    abandon();
    delegate_->on_error(std::move(error));
  }

  delegate_t *delegate_;
  std::unique_ptr<stream_socket_t> stream_;
  std::deque<chunk_t> in_flight_;
  std::deque<chunk_t> pending_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_;
  bool reading_payload_ = false;
  std::size_t read_done_ = 0;
  std::size_t read_want_ = 0;
};

using ipc_link_t = basic_ipc_link_t<endianness_t::little>;

} // namespace fw::util
