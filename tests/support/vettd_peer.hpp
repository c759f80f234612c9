#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
  // Calls pump (which runs the daemon's side) and reads until a frame is complete or the stream ends;
  // the oldest complete frame.
  std::optional<frame_t> receive(const std::function<void()> &pump, int timeout_seconds = 10);

private:
  // One non-blocking read: the byte count, 0 at end of stream, -1 when nothing is there.
  ssize_t receive_once();

  fw::util::scoped_fd_t fd_;
  std::string prefix_;
  std::string payload_;
  std::optional<std::size_t> length_;
  frame_t current_;
  std::vector<frame_t> done_;
  bool ended_ = false;
};

inline ssize_t vettd_peer_t::receive_once() {
  if (ended_) return 0;
  // Read no further than the end of the current part (prefix or payload).
  std::string &part = length_ ? payload_ : prefix_;
  const std::size_t want = (length_ ? *length_ : 4) - part.size();
  std::string chunk(want, '\0');
  iovec iov{chunk.data(), chunk.size()};
  alignas(cmsghdr) char control[256];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(fd_.get(), &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  if (n < 0) {
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
    return -1;
  }
  if (n == 0) {
    ended_ = true;
    return 0;
  }
  EXPECT_EQ(msg.msg_flags & MSG_CTRUNC, 0);
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    if (current_.control_lengths.empty()) current_.first_read_with_fds = current_.reads;
    current_.control_lengths.push_back(c->cmsg_len);
    const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      current_.fds.emplace_back(fd);
    }
  }
  ++current_.reads;
  part.append(chunk.data(), static_cast<std::size_t>(n));
  if (!length_ && prefix_.size() == 4) {
    const auto *p = reinterpret_cast<const unsigned char *>(prefix_.data());
    length_ = p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::size_t>(p[3]) << 24;
  }
  if (length_ && payload_.size() == *length_) {
    EXPECT_TRUE(current_.message.ParseFromString(payload_));
    done_.push_back(std::move(current_));
    current_ = frame_t();
    prefix_.clear();
    payload_.clear();
    length_.reset();
  }
  return n;
}

inline std::optional<vettd_peer_t::frame_t> vettd_peer_t::receive(const std::function<void()> &pump,
                                                                 int timeout_seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (done_.empty() && !ended_) {
    pump();
    if (receive_once() >= 0) continue;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "no frame from the daemon";
      break;
    }
    pollfd p{fd_.get(), POLLIN, 0};
    ::poll(&p, 1, 10);
  }
  if (done_.empty()) return std::nullopt;
  frame_t frame = std::move(done_.front());
  done_.erase(done_.begin());
  return frame;
}

} // namespace tests
