#include "fw/service/process_finder.hpp"

#include <dirent.h>
#include <fcntl.h>
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

[[noreturn]] void throw_errno(int error, const std::string &what) {
  throw boost::system::system_error(boost::system::error_code(error, boost::system::system_category()), what);
}

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
  // address:port as 8 and 4 hex digits. The address is the kernel's raw 32-bit value printed as a
  // number; taken unchanged as the in-memory value it is the address in network order again.
  bool endpoint(process_finder_t::endpoint_t &out) {
    std::uint32_t raw, port;
    if (!hex(8, raw) || !literal(':') || !hex(4, port)) return false;
    std::array<unsigned char, 4> bytes;
    std::memcpy(bytes.data(), &raw, 4);
    out = {boost::asio::ip::address_v4(bytes), static_cast<unsigned short>(port)};
    return true;
  }

private:
  std::string_view line_;
  std::size_t at_ = 0;
};

bool is_tcp_header(std::string_view line) {
  static constexpr std::string_view expected[] = {"sl",       "local_address", "rem_address", "st",
                                                   "tx_queue", "rx_queue",      "tr",          "tm->when",
                                                   "retrnsmt", "uid",           "timeout",     "inode"};
  std::size_t at = 0;
  for (const auto &word : expected) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (line.substr(at, word.size()) != word) return false;
    at += word.size();
    if (at < line.size() && line[at] != ' ' && line[at] != '\t') return false;
  }
  return true;
}

// (local endpoint, remote endpoint, inode) of one socket line; false when the line is malformed.
bool parse_tcp_line(std::string_view line, key_t &key, std::uint32_t &inode) {
  tcp_line_reader_t r(line);
  std::uint32_t slot, state, tx, rx, timer, expiry, retransmits, uid, timeout;
  r.blanks();
  return r.decimal(slot) && r.literal(':') && r.blanks() && r.endpoint(key.first) && r.blanks() &&
         r.endpoint(key.second) && r.blanks() && r.hex(2, state) && r.blanks() && r.hex(8, tx) &&
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
  if (!proc) throw_errno(errno, "Cannot list /proc");
  std::unique_ptr<DIR, int (*)(DIR *)> proc_guard(proc, ::closedir);
  for (;;) {
    errno = 0;
    const dirent *entry = ::readdir(proc);
    if (!entry) {
      if (errno != 0) throw_errno(errno, "Cannot list /proc");
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
      throw_errno(errno, "Cannot list " + fd_path);
    }
    DIR *fds = ::fdopendir(fd_dir);
    if (!fds) {
      const int error = errno;
      ::close(fd_dir);
      throw_errno(error, "Cannot list " + fd_path);
    }
    std::unique_ptr<DIR, int (*)(DIR *)> fds_guard(fds, ::closedir);
    for (;;) {
      errno = 0;
      const dirent *fd_entry = ::readdir(fds);
      if (!fd_entry) {
        if (errno != 0 && !skippable(errno)) throw_errno(errno, "Cannot list " + fd_path);
        break;
      }
      if (fd_entry->d_name[0] == '.') continue;
      char target[64];
      const ssize_t n = ::readlinkat(::dirfd(fds), fd_entry->d_name, target, sizeof target);
      if (n < 0) {
        if (errno == ENOENT) continue; // the descriptor was closed
        if (skippable(errno)) break;
        throw_errno(errno, "Cannot read link " + fd_path + "/" + fd_entry->d_name);
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

process_finder_t::netlink_inode_getter_t::netlink_inode_getter_t() : socket_(open_sock_diag_socket()) {
  const key_t zero{};
  try {
    socket_.dump(sock_diag::sock_diag_by_family, sock_diag::make_request(std::span(&zero, 1)));
  } catch (const boost::system::system_error &) {
    throw not_supported_t("Kernel does not support SOCK_DIAG_BY_FAMILY");
  }
}

std::vector<std::uint32_t> process_finder_t::netlink_inode_getter_t::get_inodes(const std::vector<key_t> &keys) {
  std::vector<netlink::socket_t::received_t> answers;
  try {
    answers = socket_.dump(sock_diag::sock_diag_by_family, sock_diag::make_request(keys));
  } catch (...) {
    // The rest of a broken dump may still be queued on the socket; a fresh socket keeps it out of the
    // next batch.
    try {
      socket_ = netlink::socket_t::open(netlink::protocol_sock_diag);
    } catch (...) {
    }
    throw;
  }
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
  fw::util::scoped_fd_t fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw_errno(errno, "Cannot open " + path_);

  // Lines are assembled from 4096-byte reads; the first must be the header, every other one a socket.
  static constexpr std::size_t max_line = 4096;
  std::size_t remaining = keys.size();
  std::size_t line_number = 0;
  std::string line;
  line.reserve(256);
  auto take_line = [&]() -> bool { // true when every key has its inode
    ++line_number;
    if (line_number == 1) {
      if (!is_tcp_header(line)) throw std::runtime_error("Cannot parse " + path_ + ": unexpected header");
      return false;
    }
    key_t key;
    std::uint32_t inode;
    if (!parse_tcp_line(line, key, inode))
      throw std::runtime_error("Cannot parse " + path_ + ": malformed line " + std::to_string(line_number));
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
    if (n < 0) throw_errno(errno, "Cannot read " + path_);
    if (n == 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] != '\n') {
        if (line.size() >= max_line) throw std::runtime_error("Cannot parse " + path_ + ": line too long");
        line.push_back(buffer[i]);
        continue;
      }
      if (take_line()) return inodes;
      line.clear();
    }
  }
  if (!line.empty()) take_line();
  return inodes;
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

process_finder_t::process_finder_t(boost::asio::io_context &io) : process_finder_t(io, choose_getter()) {}

process_finder_t::process_finder_t(boost::asio::io_context &io, std::unique_ptr<inode_getter_t> getter)
    : io_(io), getter_(std::move(getter)) {
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

  std::vector<std::uint32_t> inodes;
  std::exception_ptr error;
  try {
    inodes = getter_->get_inodes(keys);
    if (inodes.size() != keys.size()) throw std::logic_error("inode getter answered for a different number of keys");
  } catch (...) {
    error = std::current_exception();
    inodes.assign(keys.size(), 0);
  }
  const std::exception_ptr no_inode =
      error ? error : std::make_exception_ptr(std::runtime_error("Cannot find inode in " + getter_->name()));

  std::multimap<std::uint32_t, request_t *> waiting;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (inodes[i] == 0) answer(batch[i].handler, no_inode, 0);
    else waiting.emplace(inodes[i], &batch[i]);
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
