#include "fw/linux/bpf/connect_recorder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "mv/log/log.hpp"

#if MOVRI_HAVE_BPF
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/bpf.h>

#include "connect_owner.skel.h"
#endif

namespace fw::linux::bpf {

namespace {

constexpr const char *program_names[2] = {"movri_connect4", "movri_connect6"};

[[noreturn]] void unavailable(const std::string &step, int error) {
  throw connect_recorder_t::unavailable_t(step + ": " + std::strerror(error));
}

#if MOVRI_HAVE_BPF
constexpr bpf_attach_type attach_types[2] = {BPF_CGROUP_INET4_CONNECT, BPF_CGROUP_INET6_CONNECT};

// libbpf's own messages go to the log at Debug.
int print_libbpf(libbpf_print_level level, const char *format, va_list args) {
  if (level == LIBBPF_DEBUG || !mv::log::enabled(mv::log::Debug)) return 0;
  char text[512];
  const int n = std::vsnprintf(text, sizeof text, format, args);
  std::string line(text, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1));
  while (!line.empty() && line.back() == '\n') line.pop_back();
  MV_LOG(Debug, "libbpf: " + line);
  return 0;
}

bool is_ours(std::uint32_t program_id) {
  const int fd = bpf_prog_get_fd_by_id(program_id);
  if (fd < 0) return false;
  bpf_prog_info info{};
  std::uint32_t length = sizeof info;
  const bool ours = bpf_obj_get_info_by_fd(fd, &info, &length) == 0 &&
                    (std::strcmp(info.name, program_names[0]) == 0 || std::strcmp(info.name, program_names[1]) == 0);
  ::close(fd);
  return ours;
}
#endif

} // namespace

std::string connect_recorder_t::cgroup_v2_root() {
  std::ifstream mounts("/proc/self/mounts");
  std::string line, found;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string device, point, type;
    fields >> device >> point >> type;
    if (type != "cgroup2") continue;
    if (point == "/sys/fs/cgroup") return point;
    if (found.empty()) found = point;
  }
  if (found.empty()) throw unavailable_t("no cgroup v2 hierarchy is mounted");
  return found;
}

#if MOVRI_HAVE_BPF

std::span<const std::uint8_t> connect_recorder_t::embedded_object() {
  std::size_t size = 0;
  const void *bytes = connect_owner__elf_bytes(&size);
  return {static_cast<const std::uint8_t *>(bytes), size};
}

std::size_t connect_recorder_t::remove_attachments(const std::string &cgroup) noexcept {
  const int cgroup_fd = ::open(cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (cgroup_fd < 0) return 0;
  fw::util::scoped_fd_t cgroup_guard(cgroup_fd);
  struct stat status{};
  if (::fstat(cgroup_fd, &status) != 0) return 0;
  std::size_t removed = 0;
  // Links some process still holds (a cgroup's id is the inode number of its directory).
  std::uint32_t id = 0;
  while (bpf_link_get_next_id(id, &id) == 0) {
    const int fd = bpf_link_get_fd_by_id(id);
    if (fd < 0) continue;
    bpf_link_info info{};
    std::uint32_t length = sizeof info;
    if (bpf_obj_get_info_by_fd(fd, &info, &length) == 0 && info.type == BPF_LINK_TYPE_CGROUP &&
        info.cgroup.cgroup_id == status.st_ino && is_ours(info.prog_id)) {
      if (bpf_link_detach(fd) == 0) ++removed;
      else MV_LOG(Warning, "Cannot detach BPF link " + std::to_string(id) + " from " + cgroup + ": " + std::strerror(errno));
    }
    ::close(fd);
  }
  // Programs attached without a link.
  for (const auto type : attach_types) {
    std::uint32_t ids[64], count = 64, flags = 0;
    if (bpf_prog_query(cgroup_fd, type, 0, &flags, ids, &count) != 0) continue;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!is_ours(ids[i])) continue;
      const int fd = bpf_prog_get_fd_by_id(ids[i]);
      if (fd < 0) continue;
      if (bpf_prog_detach2(fd, cgroup_fd, type) == 0) ++removed;
      ::close(fd);
    }
  }
  return removed;
}

connect_recorder_t::connect_recorder_t(const std::string &cgroup, std::span<const std::uint8_t> object)
    : cgroup_(cgroup) {
  libbpf_set_print(print_libbpf);
  char pid_ns[64] = {};
  if (::readlink("/proc/self/ns/pid", pid_ns, sizeof pid_ns - 1) < 0) {
    const int error = errno;
    unavailable("Cannot read /proc/self/ns/pid", error);
  }
  // The initial PID namespace always has this inode number (PROC_PID_INIT_INO).
  if (std::string(pid_ns) != "pid:[4026531836]")
    throw unavailable_t("not in the initial PID namespace, whose PIDs the programs record");
  const int cgroup_fd = ::open(cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (cgroup_fd < 0) {
    const int error = errno;
    unavailable("Cannot open cgroup " + cgroup, error);
  }
  fw::util::scoped_fd_t cgroup_guard(cgroup_fd);
  if (object.empty()) throw unavailable_t("no BPF object");
  try {
    object_ = bpf_object__open_mem(object.data(), object.size(), nullptr);
    if (!object_) {
      const int error = errno;
      unavailable("Cannot open the BPF object", error);
    }
    if (const int error = bpf_object__load(object_); error < 0) unavailable("Cannot load the BPF object", -error);
    const bpf_map *map = bpf_object__find_map_by_name(object_, "movri_owners");
    if (!map) throw unavailable_t("the BPF object has no map movri_owners");
    map_fd_ = bpf_map__fd(map);
    if (const std::size_t removed = remove_attachments(cgroup); removed > 0)
      MV_LOG(Notice, "Removed " + std::to_string(removed) + " BPF program(s) left attached to " + cgroup);
    for (int i = 0; i < 2; ++i) {
      const bpf_program *program = bpf_object__find_program_by_name(object_, program_names[i]);
      if (!program) throw unavailable_t(std::string("the BPF object has no program ") + program_names[i]);
      links_[i] = bpf_program__attach_cgroup(program, cgroup_fd);
      if (!links_[i]) {
        const int error = errno;
        unavailable(std::string("Cannot attach ") + program_names[i] + " to " + cgroup, error);
      }
    }
  } catch (...) {
    release();
    throw;
  }
}

connect_recorder_t::~connect_recorder_t() { release(); }

void connect_recorder_t::release() noexcept {
  for (auto &link : links_) {
    if (link) bpf_link__destroy(link);
    link = nullptr;
  }
  if (object_) bpf_object__close(object_);
  object_ = nullptr;
}

std::uint32_t connect_recorder_t::owner(std::uint64_t cookie) const noexcept {
  std::uint32_t tgid = 0;
  if (cookie == 0 || bpf_map_lookup_elem(map_fd_, &cookie, &tgid) != 0) return 0;
  return tgid;
}

#else

std::span<const std::uint8_t> connect_recorder_t::embedded_object() { return {}; }
std::size_t connect_recorder_t::remove_attachments(const std::string &) noexcept { return 0; }
connect_recorder_t::connect_recorder_t(const std::string &cgroup, std::span<const std::uint8_t>) : cgroup_(cgroup) {
  throw unavailable_t("built without BPF support");
}
connect_recorder_t::~connect_recorder_t() = default;
void connect_recorder_t::release() noexcept {}
std::uint32_t connect_recorder_t::owner(std::uint64_t) const noexcept { return 0; }

#endif

} // namespace fw::linux::bpf
