#include "tests/support/framed_peer.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include <gtest/gtest.h>

namespace tests {

bool framed_peer_t::read_exactly(char *data, std::size_t size, int timeout_seconds, const std::string &who) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  std::size_t done = 0;
  while (done < size) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd p{fd_.get(), POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) == 0) {
      ADD_FAILURE() << "nothing from " << who << " in time";
      return false;
    }
    const ssize_t n = ::recv(fd_.get(), data + done, size - done, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> framed_peer_t::receive_frame(int timeout_seconds, const std::string &who) {
  if (!fd_) return std::nullopt;
  unsigned char prefix[4];
  if (!read_exactly(reinterpret_cast<char *>(prefix), 4, timeout_seconds, who)) return std::nullopt;
  std::string payload(prefix[0] | prefix[1] << 8 | prefix[2] << 16 | std::uint32_t(prefix[3]) << 24, '\0');
  if (!read_exactly(payload.data(), payload.size(), timeout_seconds, who)) return std::nullopt;
  return payload;
}

void framed_peer_t::send_bytes(const std::string &bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ADD_FAILURE() << "cannot write to the daemon";
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

} // namespace tests
