#include "fw/service/hook/process_finder.hpp"
#include "fw/util/system_error.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <span>
#include <stdexcept>
#include <string_view>
#include <cstdio>
#include <cstdlib>

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "fw/linux/netlink/constants.hpp"
#include "fw/linux/sock_diag/request.hpp"
#include "fw/linux/sock_diag/response_message.hpp"
#include "fw/util/scoped_fd.hpp"
#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"
#include "mv/util/parse_int.hpp"

namespace fw::service {

namespace {

namespace sock_diag = fw::linux::sock_diag;
namespace netlink = fw::linux::netlink;
using key_t = process_finder_t::key_t;

using fw::util::throw_system_error;

netlink::socket_t open_sock_diag_socket() {
  try {
    return netlink::socket_t::open(netlink::protocol_sock_diag);
  } catch (const boost::system::system_error &e) {
    if (e.code().value() == EPROTONOSUPPORT)
      throw process_finder_t::netlink_inode_getter_t::not_supported_t("Kernel does not support NETLINK_SOCK_DIAG");
    throw;
  }
}

// ---- /proc/net/tcp ----

// Reads one line of /proc/net/tcp field by field. Blanks between fields may be runs of any length;
// the fields themselves must have the widths the kernel prints.
class tcp_line_reader_t {
public:
  explicit tcp_line_reader_t(std::string_view line) : line_(line) {}

  bool blanks() {
    const std::size_t start = at_;
    while (at_ < line_.size() && (line_[at_] == ' ' || line_[at_] == '\t')) ++at_;
    return at_ > start;
  }
  bool literal(char c) {
    if (at_ >= line_.size() || line_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool hex(std::size_t digits, std::uint32_t &value) {
    if (line_.size() - at_ < digits) return false;
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
      const char c = line_[at_ + i];
      unsigned d;
      if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
      else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
      else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
      else return false;
      value = value << 4 | d;
    }
    at_ += digits;
    return true;
  }
  bool decimal(std::uint32_t &value) {
    std::uint64_t v = 0;
    const std::size_t start = at_;
    while (at_ < line_.size() && line_[at_] >= '0' && line_[at_] <= '9') {
      v = v * 10 + static_cast<unsigned>(line_[at_] - '0');
      if (v > 0xFFFFFFFFu) return false;
      ++at_;
    }
    value = static_cast<std::uint32_t>(v);
    return at_ > start;
  }
  // The end of the line or a blank follows.
  bool field_ends() const { return at_ == line_.size() || line_[at_] == ' ' || line_[at_] == '\t'; }
  // address:port as 8 (IPv6: 32) and 4 hex digits. The address is the kernel's raw 32-bit words
  // printed as numbers; taken unchanged as in-memory values they are the address in network order
  // again. An IPv4-mapped IPv6 address is given as the IPv4 address.
  bool endpoint(process_finder_t::endpoint_t &out, bool v6) {
    std::uint32_t raw[4], port;
    for (int i = 0; i < (v6 ? 4 : 1); ++i)
      if (!hex(8, raw[i])) return false;
    if (!literal(':') || !hex(4, port)) return false;
    if (v6) {
      std::array<unsigned char, 16> bytes;
      std::memcpy(bytes.data(), raw, 16);
      const boost::asio::ip::address_v6 address(bytes);
      if (address.is_v4_mapped())
        out = {boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address), static_cast<unsigned short>(port)};
      else
        out = {address, static_cast<unsigned short>(port)};
      return true;
    }
    std::array<unsigned char, 4> bytes;
    std::memcpy(bytes.data(), raw, 4);
    out = {boost::asio::ip::address_v4(bytes), static_cast<unsigned short>(port)};
    return true;
  }

private:
  std::string_view line_;
  std::size_t at_ = 0;
};

bool is_tcp_header(std::string_view line) {
  // /proc/net/tcp6 calls the third column remote_address.
  static constexpr std::string_view expected[] = {"sl",       "local_address", "rem_address", "st",
                                                   "tx_queue", "rx_queue",      "tr",          "tm->when",
                                                   "retrnsmt", "uid",           "timeout",     "inode"};
  std::size_t at = 0;
  for (auto word : expected) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (word == "rem_address" && line.substr(at, 14) == "remote_address") word = "remote_address";
    if (line.substr(at, word.size()) != word) return false;
    at += word.size();
    if (at < line.size() && line[at] != ' ' && line[at] != '\t') return false;
  }
  return true;
}

// (local endpoint, remote endpoint, inode) of one socket line; false when the line is malformed.
bool parse_tcp_line(std::string_view line, key_t &key, std::uint32_t &inode, bool v6) {
  tcp_line_reader_t r(line);
  std::uint32_t slot, state, tx, rx, timer, expiry, retransmits, uid, timeout;
  r.blanks();
  return r.decimal(slot) && r.literal(':') && r.blanks() && r.endpoint(key.first, v6) && r.blanks() &&
         r.endpoint(key.second, v6) && r.blanks() && r.hex(2, state) && r.blanks() && r.hex(8, tx) &&
         r.literal(':') && r.hex(8, rx) && r.blanks() && r.hex(2, timer) && r.literal(':') &&
         r.hex(8, expiry) && r.blanks() && r.hex(8, retransmits) && r.blanks() && r.decimal(uid) &&
         r.blanks() && r.decimal(timeout) && r.blanks() && r.decimal(inode) && r.field_ends();
}

// ---- the /proc scan ----

// Failures that concern one process only: it has exited (ENOENT, ESRCH), or its descriptors are
// hidden from this one (EACCES, EPERM: another user namespace, a ptrace restriction). Such a process
// cannot be the owner asked for, or cannot be told to be; the scan goes on with the next one.
bool skippable(int error) noexcept { return error == ENOENT || error == ESRCH || error == EACCES || error == EPERM; }

// Calls found(inode, pid) for every socket descriptor of every process until it returns true.
// Processes that cannot be looked at (above) are skipped; any other failure raises.
template <class Found> void scan_processes(Found &&found) {
  DIR *proc = ::opendir("/proc");
  if (!proc) throw_system_error(errno, "Cannot list /proc");
  std::unique_ptr<DIR, int (*)(DIR *)> proc_guard(proc, ::closedir);
  for (;;) {
    errno = 0;
    const dirent *entry = ::readdir(proc);
    if (!entry) {
      if (errno != 0) throw_system_error(errno, "Cannot list /proc");
      return;
    }
    const auto pid = mv::util::parse_int32(entry->d_name);
    if (!pid) continue;
    if (entry->d_type != DT_DIR) {
      struct stat status;
      if (::fstatat(::dirfd(proc), entry->d_name, &status, 0) != 0 || !S_ISDIR(status.st_mode)) continue;
    }
    const std::string fd_path = std::string("/proc/") + entry->d_name + "/fd";
    const int fd_dir = ::openat(::dirfd(proc), (std::string(entry->d_name) + "/fd").c_str(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_dir < 0) {
      if (skippable(errno)) continue;
      throw_system_error(errno, "Cannot list " + fd_path);
    }
    DIR *fds = ::fdopendir(fd_dir);
    if (!fds) {
      const int error = errno;
      ::close(fd_dir);
      throw_system_error(error, "Cannot list " + fd_path);
    }
    std::unique_ptr<DIR, int (*)(DIR *)> fds_guard(fds, ::closedir);
    for (;;) {
      errno = 0;
      const dirent *fd_entry = ::readdir(fds);
      if (!fd_entry) {
        if (errno != 0 && !skippable(errno)) throw_system_error(errno, "Cannot list " + fd_path);
        break;
      }
      if (fd_entry->d_name[0] == '.') continue;
      char target[64];
      const ssize_t n = ::readlinkat(::dirfd(fds), fd_entry->d_name, target, sizeof target);
      if (n < 0) {
        if (errno == ENOENT) continue; // the descriptor was closed
        if (skippable(errno)) break;
        throw_system_error(errno, "Cannot read link " + fd_path + "/" + fd_entry->d_name);
      }
      const std::string_view link(target, static_cast<std::size_t>(n));
      static constexpr std::string_view prefix = "socket:[";
      if (static_cast<std::size_t>(n) >= sizeof target || link.size() <= prefix.size() + 1 ||
          link.substr(0, prefix.size()) != prefix || link.back() != ']')
        continue;
      const auto digits = link.substr(prefix.size(), link.size() - prefix.size() - 1);
      std::uint64_t inode = 0;
      bool valid = !digits.empty() && digits.size() <= 10;
      for (char c : digits) {
        if (c < '0' || c > '9') valid = false;
        else inode = inode * 10 + static_cast<unsigned>(c - '0');
      }
      if (!valid || inode > 0xFFFFFFFFu) continue;
      if (found(static_cast<std::uint32_t>(inode), *pid)) return;
    }
  }
}

} // namespace

// ---- netlink getter ----

std::vector<process_finder_t::socket_info_t> process_finder_t::inode_getter_t::get_sockets(const std::vector<key_t> &keys) {
  const auto inodes = get_inodes(keys);
  std::vector<socket_info_t> sockets(inodes.size());
  for (std::size_t i = 0; i < inodes.size(); ++i) sockets[i].inode = inodes[i];
  return sockets;
}

process_finder_t::netlink_inode_getter_t::netlink_inode_getter_t() : socket_(open_sock_diag_socket()) {
  const key_t zero{};
  try {
    socket_.dump(sock_diag::sock_diag_by_family, sock_diag::make_request(std::span(&zero, 1)));
  } catch (const boost::system::system_error &) {
    throw not_supported_t("Kernel does not support SOCK_DIAG_BY_FAMILY");
  }
  // The kernel answers every request of a datagram while it is being sent, into this socket's receive
  // queue; what does not fit is lost. A larger queue (where allowed) lets a whole batch go at once.
  const int wanted = 1 << 20;
  ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted);
  int size = 0;
  socklen_t length = sizeof size;
  if (::getsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) size = 0;
  // An answer takes well under 4 KiB of the queue (message, attributes and the kernel's overhead).
  requests_per_send_ = std::clamp<std::size_t>(static_cast<std::size_t>(size) / 4096, 1, max_batch);
  send_buffer_.resize(requests_per_send_ * (netlink::header_size + sock_diag::request_header_size));
  receive_buffer_.resize(16384);
}

std::vector<std::uint32_t> process_finder_t::netlink_inode_getter_t::get_inodes(const std::vector<key_t> &keys) {
  const auto sockets = get_sockets(keys);
  std::vector<std::uint32_t> inodes(sockets.size());
  for (std::size_t i = 0; i < sockets.size(); ++i) inodes[i] = sockets[i].inode;
  return inodes;
}

std::vector<process_finder_t::socket_info_t>
process_finder_t::netlink_inode_getter_t::get_sockets(const std::vector<key_t> &keys) {
  std::vector<socket_info_t> found(keys.size());
  const auto ask_all = [&](const std::vector<request_t> &requests) {
    for (std::size_t first = 0; first < requests.size(); first += requests_per_send_)
      ask(keys, std::span(requests).subspan(first, std::min(requests_per_send_, requests.size() - first)), found);
  };
  try {
    // One request per distinct key (the keys are sorted, so repeats are neighbours).
    std::vector<request_t> requests;
    for (std::size_t i = 0; i < keys.size(); ++i)
      if (i == 0 || keys[i] != keys[i - 1]) requests.push_back({i, 0});
    ask_all(requests);
    // A socket bound to an interface (SO_BINDTODEVICE, a VRF) is found only with that interface's
    // index: keys still without a socket are asked again once per interface.
    std::vector<std::size_t> missing;
    for (const auto &request : requests)
      if (found[request.key].inode == 0) missing.push_back(request.key);
    if (!missing.empty()) {
      std::unique_ptr<struct if_nameindex, void (*)(struct if_nameindex *)> interfaces(::if_nameindex(), ::if_freenameindex);
      requests.clear();
      for (auto *i = interfaces.get(); i && i->if_index != 0; ++i)
        for (const std::size_t key : missing) requests.push_back({key, i->if_index});
      ask_all(requests);
    }
  } catch (...) {
    // Answers of a broken exchange may still be queued on the socket; a fresh socket keeps them out of
    // the next batch.
    try {
      auto fresh = netlink::socket_t::open(netlink::protocol_sock_diag);
      const int wanted = 1 << 20;
      ::setsockopt(fresh.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted);
      socket_ = std::move(fresh);
    } catch (...) {
    }
    throw;
  }
  for (std::size_t i = 1; i < keys.size(); ++i)
    if (keys[i] == keys[i - 1]) found[i] = found[i - 1];
  return found;
}

void process_finder_t::netlink_inode_getter_t::ask(const std::vector<key_t> &keys, std::span<const request_t> requests,
                                                   std::vector<socket_info_t> &found) {
  // Sequence numbers tell the answers apart.
  const std::uint32_t base = sequence_;
  std::size_t length = 0;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    std::uint8_t *at = send_buffer_.data() + length;
    const std::uint32_t message_length = netlink::header_size + sock_diag::request_header_size;
    const std::uint16_t type = sock_diag::sock_diag_by_family, flags = netlink::f_request;
    const std::uint32_t seq = base + static_cast<std::uint32_t>(i), port = 0;
    std::memcpy(at, &message_length, 4);
    std::memcpy(at + 4, &type, 2);
    std::memcpy(at + 6, &flags, 2);
    std::memcpy(at + 8, &seq, 4);
    std::memcpy(at + 12, &port, 4);
    sock_diag::put_exact_request(at + netlink::header_size, keys[requests[i].key], requests[i].interface);
    length += message_length;
  }
  sequence_ += static_cast<std::uint32_t>(requests.size());
  socket_.send_raw(send_buffer_.data(), length);

  // Every request has exactly one answer, the socket or an error, queued before the send returned.
  std::size_t answered = 0;
  while (answered < requests.size()) {
    ssize_t got;
    do got = ::recv(socket_.native_handle(), receive_buffer_.data(), receive_buffer_.size(), MSG_DONTWAIT | MSG_TRUNC);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) throw std::runtime_error("sock_diag: Answers missing");
      throw_system_error(errno, "sock_diag: Cannot receive");
    }
    if (static_cast<std::size_t>(got) > receive_buffer_.size()) throw std::runtime_error("sock_diag: Answer too long");
    std::size_t at = 0;
    const auto size = static_cast<std::size_t>(got);
    while (size - at >= netlink::header_size) {
      const std::uint8_t *message = receive_buffer_.data() + at;
      std::uint32_t message_length, seq;
      std::uint16_t type;
      std::memcpy(&message_length, message, 4);
      std::memcpy(&type, message + 4, 2);
      std::memcpy(&seq, message + 8, 4);
      if (message_length < netlink::header_size || message_length > size - at)
        throw std::runtime_error("sock_diag: Truncated message");
      const std::uint32_t index = seq - base;
      if (index >= requests.size()) throw std::runtime_error("sock_diag: Unexpected message");
      const std::size_t key = requests[index].key;
      if (type == netlink::msg_error) {
        if (message_length < netlink::header_size + 4) throw std::runtime_error("sock_diag: Truncated message");
        std::int32_t error;
        std::memcpy(&error, message + netlink::header_size, 4);
        const bool v6 = keys[key].first.address().is_v6();
        // ENOENT: no such socket; an IPv6 key on a host without IPv6 has none either.
        if (error != 0 && error != -ENOENT && !(v6 && (error == -EINVAL || error == -EAFNOSUPPORT)))
          throw_system_error(-error, "sock_diag: Request failed");
        if (error != 0) ++answered;
      } else if (type == sock_diag::sock_diag_by_family) {
        const auto answer = sock_diag::response_message_t::parse(message + netlink::header_size,
                                                                 message_length - netlink::header_size);
        if (answer.state() == sock_diag::tcp_established || answer.state() == sock_diag::tcp_syn_sent)
          found[key] = {answer.inode(), answer.cookie()};
        ++answered;
      } else {
        throw std::runtime_error("sock_diag: Unexpected message");
      }
      at += netlink::align4(message_length);
    }
  }
}

std::vector<std::uint32_t> process_finder_t::netlink_inode_getter_t::dump_inodes(const std::vector<key_t> &keys) {
  std::vector<netlink::socket_t::received_t> answers;
  answers = socket_.dump(sock_diag::sock_diag_by_family, sock_diag::make_request(keys));
  std::vector<std::uint32_t> inodes(keys.size(), 0);
  for (const auto &answer : answers) {
    if (answer.type != sock_diag::sock_diag_by_family) throw std::runtime_error("sock_diag: Unexpected message");
    const auto message = sock_diag::response_message_t::parse(answer.payload.data(), answer.payload.size());
    const auto [first, last] =
        std::equal_range(keys.begin(), keys.end(), key_t{message.source(), message.destination()});
    for (auto it = first; it != last; ++it) inodes[static_cast<std::size_t>(it - keys.begin())] = message.inode();
  }
  return inodes;
}

// ---- /proc/net/tcp getter ----

process_finder_t::proc_inode_getter_t::proc_inode_getter_t(std::string path) : path_(std::move(path)) {}

std::vector<std::uint32_t> process_finder_t::proc_inode_getter_t::get_inodes(const std::vector<key_t> &keys) {
  std::vector<std::uint32_t> inodes(keys.size(), 0);
  if (keys.empty()) return inodes;
  std::size_t remaining = keys.size();
  // IPv4 sockets first; then IPv6 ones, among them dual-stack sockets connected to IPv4 addresses.
  if (scan_table(path_, false, keys, inodes, remaining)) return inodes;
  scan_table(path_ + "6", true, keys, inodes, remaining);
  return inodes;
}

bool process_finder_t::proc_inode_getter_t::scan_table(const std::string &path, bool v6, const std::vector<key_t> &keys,
                                                       std::vector<std::uint32_t> &inodes, std::size_t &remaining) {
  fw::util::scoped_fd_t fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (v6 && errno == ENOENT) return false; // no IPv6 on this host
    throw_system_error(errno, "Cannot open " + path);
  }

  // Lines are assembled from 4096-byte reads; the first must be the header, every other one a socket.
  static constexpr std::size_t max_line = 4096;
  std::size_t line_number = 0;
  std::string line;
  line.reserve(256);
  auto take_line = [&]() -> bool { // true when every key has its inode
    ++line_number;
    if (line_number == 1) {
      if (!is_tcp_header(line)) throw std::runtime_error("Cannot parse " + path + ": unexpected header");
      return false;
    }
    key_t key;
    std::uint32_t inode;
    if (!parse_tcp_line(line, key, inode, v6))
      throw std::runtime_error("Cannot parse " + path + ": malformed line " + std::to_string(line_number));
    if (inode == 0) return false; // TIME_WAIT and the like belong to no descriptor
    const auto [first, last] = std::equal_range(keys.begin(), keys.end(), key);
    for (auto it = first; it != last; ++it) {
      auto &slot = inodes[static_cast<std::size_t>(it - keys.begin())];
      if (slot == 0) {
        slot = inode;
        --remaining;
      }
    }
    return remaining == 0;
  };

  char buffer[4096];
  for (;;) {
    ssize_t n;
    do n = ::read(fd.get(), buffer, sizeof buffer);
    while (n < 0 && errno == EINTR);
    if (n < 0) throw_system_error(errno, "Cannot read " + path);
    if (n == 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] != '\n') {
        if (line.size() >= max_line) throw std::runtime_error("Cannot parse " + path + ": line too long");
        line.push_back(buffer[i]);
        continue;
      }
      if (take_line()) return true;
      line.clear();
    }
  }
  if (!line.empty()) return take_line();
  return remaining == 0;
}

// ---- the service ----

void process_finder_t::scan_socket_owners(const std::function<bool(std::uint32_t inode, int pid)> &found) {
  scan_processes(found);
}

namespace {

std::unique_ptr<process_finder_t::inode_getter_t> choose_getter() {
  try {
    return std::make_unique<process_finder_t::netlink_inode_getter_t>();
  } catch (const process_finder_t::netlink_inode_getter_t::not_supported_t &e) {
    MV_LOG(Debug, "Cannot create NETLINK inode getter: " + std::string(e.what()) + "; /proc will be parsed instead");
  }
  return std::make_unique<process_finder_t::proc_inode_getter_t>();
}

} // namespace

std::optional<std::string> process_finder_t::cgroup_from_environment() {
  const char *value = std::getenv(cgroup_variable);
  if (!value) return std::nullopt;
  return std::string(value);
}

std::unique_ptr<process_finder_t::connect_recorder_t>
process_finder_t::choose_recorder(const std::optional<std::string> &cgroup, std::span<const std::uint8_t> object) {
  if (cgroup && cgroup->empty()) {
    MV_LOG(Debug, std::string("Socket owners are not recorded (") + cgroup_variable + " is empty); /proc will be searched instead");
    return nullptr;
  }
  try {
    auto recorder = std::make_unique<connect_recorder_t>(cgroup ? *cgroup : connect_recorder_t::cgroup_v2_root(), object);
    MV_LOG(Debug, "Socket owners are recorded at connect() by BPF programs attached to " + recorder->cgroup());
    return recorder;
  } catch (const std::exception &e) {
    MV_LOG(Debug, "Cannot record socket owners with BPF: " + mv::util::exception_message(e) + "; /proc will be searched instead");
  }
  return nullptr;
}

namespace {

// Whether the process still runs. A pidfd turns readable once the process has exited, also while it
// waits as a zombie; kernels without pidfd_open answer through the state in /proc/<pid>/stat.
bool process_runs(std::uint32_t tgid) {
  const fw::util::scoped_fd_t pidfd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(tgid), 0u)));
  if (pidfd) {
    pollfd ready{pidfd.get(), POLLIN, 0};
    return ::poll(&ready, 1, 0) == 0;
  }
  if (errno != ENOSYS) return false; // gone, or not a process
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%u/stat", tgid);
  fw::util::scoped_fd_t fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char text[256];
  const ssize_t n = ::read(fd.get(), text, sizeof text - 1);
  if (n <= 0) return false;
  text[n] = '\0';
  const char *end_of_name = std::strrchr(text, ')');
  if (!end_of_name || end_of_name[1] != ' ') return false;
  const char state = end_of_name[2];
  return state != 'Z' && state != 'X' && state != 'x';
}

} // namespace

int process_finder_t::recorded_owner(const connect_recorder_t &recorder, std::uint64_t cookie) {
  const std::uint32_t tgid = recorder.owner(cookie);
  if (tgid == 0 || tgid > 0x7FFFFFFFu) return 0;
  // The process must still run: after it has exited its PID names nobody, or somebody else.
  return process_runs(tgid) ? static_cast<int>(tgid) : 0;
}

process_finder_t::process_finder_t(boost::asio::io_context &io)
    : process_finder_t(io, choose_getter(), choose_recorder(cgroup_from_environment())) {}

process_finder_t::process_finder_t(boost::asio::io_context &io, std::unique_ptr<inode_getter_t> getter,
                                   std::unique_ptr<connect_recorder_t> recorder)
    : io_(io), getter_(std::move(getter)), recorder_(std::move(recorder)) {
  worker_ = std::thread([this] { run(); });
}

process_finder_t::~process_finder_t() {
  {
    std::lock_guard guard(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
  getter_.reset();
  recorder_.reset();
}

void process_finder_t::find_pid(const endpoint_t &client, const endpoint_t &server, handler_t handler) {
  {
    std::lock_guard guard(lock_);
    if (requests_.size() < max_requests) {
      requests_.push_back({{client, server}, std::move(handler)});
      handler = nullptr;
    }
  }
  if (!handler) return wake_.notify_one();
  // The worker is far behind: this request fails at once rather than making the queue grow.
  answer(handler,
         std::make_exception_ptr(std::runtime_error("Process finder: " + std::to_string(max_requests) +
                                                    " requests are waiting")),
         0);
}

void process_finder_t::answer(handler_t &handler, std::exception_ptr error, int pid) {
  boost::asio::post(io_, [handler = std::move(handler), error = std::move(error), pid] { handler(error, pid); });
}

void process_finder_t::run() noexcept {
  try {
    for (;;) {
      std::vector<request_t> batch;
      {
        std::unique_lock guard(lock_);
        wake_.wait(guard, [this] { return stop_ || !requests_.empty(); });
        if (stop_) return;
        while (!requests_.empty() && batch.size() < max_batch) {
          batch.push_back(std::move(requests_.front()));
          requests_.pop_front();
        }
      }
      serve(std::move(batch));
    }
  } catch (...) {
    const auto error = std::current_exception();
    boost::asio::post(io_, [error] {
      throw mv::cf_exception_t(mv::util::error_code_of(error), "Process finder: " + mv::util::describe_exception(error));
    });
  }
}

void process_finder_t::serve(std::vector<request_t> batch) {
  std::stable_sort(batch.begin(), batch.end(), [](const request_t &a, const request_t &b) { return a.key < b.key; });
  std::vector<key_t> keys;
  keys.reserve(batch.size());
  for (const auto &request : batch) keys.push_back(request.key);

  std::vector<socket_info_t> sockets;
  std::exception_ptr error;
  try {
    sockets = getter_->get_sockets(keys);
    if (sockets.size() != keys.size()) throw std::logic_error("inode getter answered for a different number of keys");
  } catch (...) {
    error = std::current_exception();
    sockets.assign(keys.size(), {});
  }
  const std::exception_ptr no_inode =
      error ? error : std::make_exception_ptr(std::runtime_error("Cannot find inode in " + getter_->name()));

  // Sockets whose connecting process was recorded and still runs are answered at once; the others
  // wait for the walk over /proc.
  std::multimap<std::uint32_t, request_t *> waiting;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (sockets[i].inode == 0) {
      answer(batch[i].handler, no_inode, 0);
      continue;
    }
    const int owner = recorder_ && sockets[i].cookie != 0 ? recorded_owner(*recorder_, sockets[i].cookie) : 0;
    if (owner != 0) answer(batch[i].handler, nullptr, owner);
    else waiting.emplace(sockets[i].inode, &batch[i]);
  }
  if (waiting.empty()) return;

  try {
    scan_processes([&](std::uint32_t inode, int pid) {
      const auto [first, last] = waiting.equal_range(inode);
      for (auto it = first; it != last; ++it) answer(it->second->handler, nullptr, pid);
      waiting.erase(first, last);
      return waiting.empty();
    });
  } catch (...) {
    error = std::current_exception();
    MV_LOG(Info, "Process finder: " + mv::util::describe_exception(error));
  }
  if (waiting.empty()) return;
  if (!error) error = std::make_exception_ptr(std::runtime_error("Cannot find paths"));
  for (auto &[inode, request] : waiting) answer(request->handler, error, 0);
}

} // namespace fw::service
