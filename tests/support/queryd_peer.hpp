#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fw/util/scoped_fd.hpp"
#include "queryd_client_ipc.pb.h"

namespace tests {

// The QueryD side of one connection from the daemon, played by a test: reads the daemon's framed
// requests and writes whatever the test wants back, well-formed or not.
class queryd_peer_t {
public:
  explicit queryd_peer_t(fw::util::scoped_fd_t fd) : fd_(std::move(fd)) {}

  int fd() const noexcept { return fd_.get(); }
  // The next request; nullopt when the stream ends, or after the timeout (which also fails the test).
  std::optional<lp::ClientMessage> receive(int timeout_seconds = 10);
  void send_bytes(const std::string &bytes);
  void send(const lp::ServerMessage &message);
  void close() { fd_.reset(); }

  static lp::ServerMessage lookup_answer(std::uint32_t serial, const std::vector<std::string> &data);
  static lp::ServerMessage check_answer(std::uint32_t serial, bool result);

private:
  bool read_exactly(char *data, std::size_t size, int timeout_seconds);

  fw::util::scoped_fd_t fd_;
};

} // namespace tests
