#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "fw/util/scoped_fd.hpp"

struct bpf_object;
struct bpf_link;

namespace fw::linux::bpf {

// Knows, per socket, which process called connect() on it: two BPF programs, "movri_connect4" and
// "movri_connect6" (cgroup/connect4 and cgroup/connect6), attached through BPF links to a cgroup v2,
// record the caller's tgid under the socket's cookie in an LRU hash map. They always allow the connect.
//
// Lifetime: the links belong to this object; destroying it (or the process ending, whatever the signal)
// closes them and the kernel detaches the programs. Construction first removes programs of the same
// names that are still attached to the same cgroup (by a link another process still holds, or without
// a link), so a run that was killed leaves nothing behind past the next start.
//
// Requires the BPF syscall and cgroup BPF (Linux 5.7 or later for cgroup links), CAP_BPF with
// CAP_NET_ADMIN or CAP_SYS_ADMIN, a cgroup v2 hierarchy, and the initial PID namespace (the programs
// record PIDs as that namespace numbers them).
class connect_recorder_t {
public:
  // Why recording is not possible here; the text names the step.
  class unavailable_t : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
  };

  // The object built into the daemon (empty when it was built without BPF support).
  static std::span<const std::uint8_t> embedded_object();
  // The mount point of the cgroup v2 hierarchy (/sys/fs/cgroup, or /sys/fs/cgroup/unified on hybrid
  // hierarchies); unavailable_t when there is none.
  static std::string cgroup_v2_root();

  // Loads the object, removes leftovers in the cgroup and attaches both programs to it.
  explicit connect_recorder_t(const std::string &cgroup, std::span<const std::uint8_t> object = embedded_object());
  ~connect_recorder_t();
  connect_recorder_t(const connect_recorder_t &) = delete;
  connect_recorder_t &operator=(const connect_recorder_t &) = delete;

  const std::string &cgroup() const noexcept { return cgroup_; }
  // The tgid that connected the socket with this cookie; 0 when nothing is recorded.
  std::uint32_t owner(std::uint64_t cookie) const noexcept;

  // Detaches every program named "movri_connect4" or "movri_connect6" from the cgroup, whether by link
  // or not; returns how many were detached. Never throws.
  static std::size_t remove_attachments(const std::string &cgroup) noexcept;

private:
  void release() noexcept;

  std::string cgroup_;
  bpf_object *object_ = nullptr;
  bpf_link *links_[2] = {nullptr, nullptr};
  int map_fd_ = -1;
};

} // namespace fw::linux::bpf
