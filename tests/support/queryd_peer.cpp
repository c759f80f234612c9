#include "tests/support/queryd_peer.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include <gtest/gtest.h>

#include "tests/support/fake_hubd.hpp"

namespace tests {

bool queryd_peer_t::read_exactly(char *data, std::size_t size, int timeout_seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  std::size_t done = 0;
  while (done < size) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd p{fd_.get(), POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) == 0) {
      ADD_FAILURE() << "no request from the daemon in time";
      return false;
    }
    const ssize_t n = ::recv(fd_.get(), data + done, size - done, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<lp::ClientMessage> queryd_peer_t::receive(int timeout_seconds) {
  unsigned char prefix[4];
  if (!read_exactly(reinterpret_cast<char *>(prefix), 4, timeout_seconds)) return std::nullopt;
  const std::uint32_t size = prefix[0] | prefix[1] << 8 | prefix[2] << 16 | std::uint32_t(prefix[3]) << 24;
  std::string payload(size, '\0');
  if (!read_exactly(payload.data(), size, timeout_seconds)) return std::nullopt;
  lp::ClientMessage message;
  if (!message.ParseFromString(payload)) {
    ADD_FAILURE() << "the daemon sent a request that does not parse";
    return std::nullopt;
  }
  return message;
}

void queryd_peer_t::send_bytes(const std::string &bytes) {
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

void queryd_peer_t::send(const lp::ServerMessage &message) {
  send_bytes(fake_hubd_t::frame(message.SerializePartialAsString()));
}

lp::ServerMessage queryd_peer_t::lookup_answer(std::uint32_t serial, const std::vector<std::string> &data) {
  lp::ServerMessage m;
  m.set_tag(lp::ServerMessage::LOOKUP_RESPONSE);
  m.set_serial(serial);
  for (const auto &d : data) m.add_data(d);
  return m;
}

lp::ServerMessage queryd_peer_t::check_answer(std::uint32_t serial, bool result) {
  lp::ServerMessage m;
  m.set_tag(lp::ServerMessage::CHECK_RESPONSE);
  m.set_serial(serial);
  m.set_result(result);
  return m;
}

} // namespace tests
