#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "fw/util/scoped_fd.hpp"

namespace tests {

// The far end of one of the daemon's framed links (HubD, QueryD), played by a test with blocking calls:
// frames are a 32-bit little-endian length and the payload. Writes anything, well-formed or not.
class framed_peer_t {
public:
  explicit framed_peer_t(fw::util::scoped_fd_t fd) : fd_(std::move(fd)) {}

  int fd() const noexcept { return fd_.get(); }
  void close() { fd_.reset(); }
  // The next frame's payload; nullopt when the stream ends, or after the timeout (which also fails the
  // test, naming `who`).
  std::optional<std::string> receive_frame(int timeout_seconds, const std::string &who = "the daemon");
  void send_bytes(const std::string &bytes);

  static std::string frame(const std::string &payload) { return le32(static_cast<std::uint32_t>(payload.size())) + payload; }
  static std::string le32(std::uint32_t n) { return std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)}; }

private:
  bool read_exactly(char *data, std::size_t size, int timeout_seconds, const std::string &who);

  fw::util::scoped_fd_t fd_;
};

} // namespace tests
