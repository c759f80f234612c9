#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fw/util/scoped_fd.hpp"
#include "vettd_client_ipc.pb.h"

namespace tests {

// The VettD side of the daemon's VettD socket, played by a test: reads frames and the descriptors that
// come with them. Reads never cross the end of a frame, so every descriptor is attributed to the frame
// whose bytes carried it.
class vettd_peer_t {
public:
  struct frame_t {
    vd::ClientMessage message;
    std::vector<fw::util::scoped_fd_t> fds; // in the order they came
    std::vector<std::size_t> control_lengths; // cmsg_len of every SCM_RIGHTS message of the frame
    std::size_t reads = 0;                    // recvmsg calls that returned bytes of the frame
    std::size_t first_read_with_fds = 0;      // index of the read that brought descriptors
  };

  explicit vettd_peer_t(int fd) : fd_(fd) {}

  int fd() const noexcept { return fd_.get(); }
  void close() { fd_.reset(); }

  // One non-blocking read: the byte count, 0 at end of stream, -1 when nothing is there.
  ssize_t receive_once();
  // The oldest complete frame, if one has arrived.
  std::optional<frame_t> take_frame();
  // Calls pump (which runs the daemon's side) and reads until a frame is complete or the stream ends.
  std::optional<frame_t> receive(const std::function<void()> &pump, int timeout_seconds = 10);
  // Whether the stream ended.
  bool ended() const noexcept { return ended_; }

private:
  fw::util::scoped_fd_t fd_;
  std::string prefix_;
  std::string payload_;
  std::optional<std::size_t> length_;
  frame_t current_;
  std::vector<frame_t> done_;
  bool ended_ = false;
};

} // namespace tests
