// The framed IPC link reading a byte stream from a peer: every complete frame is delivered once and
// unchanged, a bad length or the end of the stream fails the link once, and answers sent from inside
// the delivery go out whole and in order.

#include <chrono>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>

#include "fw/util/basic_ipc_link.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/fuzz_target.hpp"

namespace {

using link_t = fw::util::ipc_link_t;
using tests::fuzz::bytes_t;

struct delegate_t : link_t::delegate_t {
  link_t *link = nullptr;
  std::vector<bytes_t> messages;
  std::vector<std::exception_ptr> errors;

  void on_message(const std::uint8_t *data, std::uint32_t size) override {
    FUZZ_CHECK(errors.empty());
    messages.emplace_back(data, data + size);
    // Echo every other frame back, from inside the delivery as the ties do.
    if (messages.size() % 2 == 1) {
      std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
      std::memcpy(copy.get(), data, size);
      link->send(std::move(copy), size);
    }
  }
  void on_error(std::exception_ptr error) override { errors.push_back(error); }
};

// What a correct reader makes of the input: the complete frames, then why it stops.
struct expected_t {
  std::vector<bytes_t> frames;
  bool bad_size = false; // else the end of the stream
};

expected_t expect(const std::uint8_t *data, std::size_t size) {
  expected_t e;
  std::size_t at = 0;
  while (size - at >= 4) {
    const std::uint32_t n = tests::fuzz::load_le32(data + at);
    if (n == 0 || n > link_t::max_message_size) {
      e.bad_size = true;
      return e;
    }
    if (size - at - 4 < n) return e;
    e.frames.emplace_back(data + at + 4, data + at + 4 + n);
    at += 4 + n;
  }
  return e;
}

bytes_t frame(const bytes_t &payload) {
  const auto n = static_cast<std::uint32_t>(payload.size());
  bytes_t out{std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(n >> 16), std::uint8_t(n >> 24)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

} // namespace

FUZZ_TARGET(ipc_frame)(const std::uint8_t *data, std::size_t size) {
  boost::asio::io_context io;
  auto record = std::make_shared<tests::fuzz::memory_stream_t::record_t>();
  record->input = data;
  record->input_size = size;
  delegate_t delegate;
  {
    link_t link(delegate, std::make_unique<tests::fuzz::memory_stream_t>(io.get_executor(), record));
    delegate.link = &link;
    io.run_for(std::chrono::seconds(10));
    FUZZ_CHECK(io.stopped()); // a reader that neither finishes nor fails hangs its owner
  }

  const expected_t expected = expect(data, size);
  FUZZ_CHECK(delegate.messages == expected.frames);
  FUZZ_CHECK(delegate.errors.size() == 1);
  FUZZ_CHECK(record->closed);
  try {
    std::rethrow_exception(delegate.errors[0]);
  } catch (const boost::system::system_error &e) {
    FUZZ_CHECK(!expected.bad_size);
    FUZZ_CHECK(e.code() == boost::asio::error::eof);
    FUZZ_CHECK(std::string(e.what()).rfind("read failed", 0) == 0);
  } catch (const std::runtime_error &e) {
    FUZZ_CHECK(expected.bad_size);
    FUZZ_CHECK(std::string(e.what()) == "invalid message size received");
  }

  // The echoed frames went out whole and in order until the link failed.
  bytes_t echoed;
  for (std::size_t i = 0; i < delegate.messages.size(); i += 2) {
    const bytes_t f = frame(delegate.messages[i]);
    echoed.insert(echoed.end(), f.begin(), f.end());
  }
  FUZZ_CHECK(record->written.size() <= echoed.size());
  FUZZ_CHECK(std::equal(record->written.begin(), record->written.end(), echoed.begin()));
  return 0;
}
