#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <gtest/gtest.h>

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
  std::optional<std::string> receive_frame(int timeout_seconds, const std::string &who = "the daemon") {
    std::string prefix(4, '\0'), payload;
    if (!fd_ || !read_exactly(prefix, timeout_seconds, who)) return std::nullopt;
    const auto *p = reinterpret_cast<const unsigned char *>(prefix.data());
    payload.resize(p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24);
    if (!read_exactly(payload, timeout_seconds, who)) return std::nullopt;
    return payload;
  }
  void send_bytes(const std::string &bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return void(ADD_FAILURE() << "cannot write to the daemon");
      done += static_cast<std::size_t>(n);
    }
  }

  static std::string frame(const std::string &payload) { return le32(static_cast<std::uint32_t>(payload.size())) + payload; }
  static std::string le32(std::uint32_t n) { return std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)}; }

private:
  // Fills `data`; false at the end of the stream or after the timeout (failing the test).
  bool read_exactly(std::string &data, int timeout_seconds, const std::string &who) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    for (std::size_t done = 0; done < data.size();) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      pollfd p{fd_.get(), POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) == 0) {
        ADD_FAILURE() << "nothing from " << who << " in time";
        return false;
      }
      const ssize_t n = ::recv(fd_.get(), data.data() + done, data.size() - done, MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  fw::util::scoped_fd_t fd_;
};

} // namespace tests
