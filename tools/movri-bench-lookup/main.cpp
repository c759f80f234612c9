// Where the process finder's time goes, for scripts/bench.
//   movri-bench-lookup [--connections N] [--repeat R]
//       As root, in the network namespace the caller chose (it creates none itself). Opens N established
//       loopback TCP connections of its own (default 1000; the descriptor limit is raised as needed), then
//       for batches of 1, 32 and 128 of them times, R times each (default 200), every step of a look-up,
//       each method side by side:
//         sock_diag exact  one exact NETLINK_SOCK_DIAG request per key, sent together (the finder's getter)
//         sock_diag dump   one dump over the whole TCP table filtered to the batch's keys (the former getter)
//         /proc/net/tcp    one pass over /proc/net/tcp (and tcp6) for the batch (the fallback getter)
//         BPF map          the recorded owner of every socket of the batch: one map look-up and one
//                          /proc/<pid>/stat read each (needs the recorder, below)
//         /proc fd walk    the walk over /proc/<pid>/fd that maps the batch's inodes to their process
//         whole find BPF   the batch asked of a process finder with the recorder, until the last answer
//         whole find       the same without the recorder (the /proc walk)
//       The recorder is attached to the cgroup that COM_MOVRI_BPF_CGROUP names (unset: the cgroup v2
//       root) before the connections are made; where it cannot be, its rows are left out.
//       Prints the namespace's TCP hash table size, the number of TCP sockets and processes the steps go
//       through, and one table: step, batch, median and p99 microseconds per call and per connection.
//       A batch larger than N is left out. A look-up that misses one of the tool's own sockets is
//       reported on standard error and makes the exit status 1. Its sockets are reset on exit, so they
//       leave no TIME_WAIT entries in the namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "fw/service/hook/process_finder.hpp"
#include "fw/util/scoped_fd.hpp"
#include "mv/util/exceptions.hpp"

namespace {

using clock_type = std::chrono::steady_clock;
using finder_t = fw::service::process_finder_t;
using key_t = finder_t::key_t;
using fw::util::scoped_fd_t;

constexpr std::size_t batch_sizes[] = {1, 32, 128};

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "movri-bench-lookup: %s\n", what.c_str());
  std::exit(2);
}

[[noreturn]] void fail_errno(const std::string &what) { fail(what + ": " + std::strerror(errno)); }

void raise_descriptor_limit(rlim_t needed) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) fail_errno("getrlimit");
  if (limit.rlim_cur >= needed) return;
  limit.rlim_cur = needed;
  if (limit.rlim_max < needed) limit.rlim_max = needed;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) fail_errno("cannot raise RLIMIT_NOFILE to " + std::to_string(needed));
}

fw::net::endpoint_t endpoint_of(int fd) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) != 0) fail_errno("getsockname");
  return {boost::asio::ip::address_v4(ntohl(a.sin_addr.s_addr)), ntohs(a.sin_port)};
}

// The tool's own connections: the client ends (whose keys are looked up) and the accepted ends.
struct connections_t {
  scoped_fd_t listener;
  std::vector<scoped_fd_t> clients;
  std::vector<scoped_fd_t> accepted;
  std::vector<key_t> keys; // (client end, server end) of every client, in the order of clients

  explicit connections_t(std::size_t n) {
    listener = scoped_fd_t(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) fail_errno("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) fail_errno("bind");
    if (::listen(listener.get(), 64) != 0) fail_errno("listen");
    socklen_t length = sizeof a;
    ::getsockname(listener.get(), reinterpret_cast<sockaddr *>(&a), &length);
    const auto server = endpoint_of(listener.get());
    for (std::size_t i = 0; i < n; ++i) {
      scoped_fd_t client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (!client) fail_errno("socket");
      if (::connect(client.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) fail_errno("connect");
      scoped_fd_t peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!peer) fail_errno("accept");
      keys.emplace_back(endpoint_of(client.get()), server);
      clients.push_back(std::move(client));
      accepted.push_back(std::move(peer));
    }
  }
  // Resets rather than closes, so that nothing lingers in TIME_WAIT.
  ~connections_t() {
    const linger reset{1, 0};
    for (auto &fd : clients) ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    for (auto &fd : accepted) ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }

  // The batch number `round` of the given size: consecutive connections from a rotating start, sorted
  // as the finder sorts them.
  std::vector<key_t> batch(std::size_t size, std::size_t round) const {
    std::vector<key_t> out;
    const std::size_t start = (round * size) % keys.size();
    for (std::size_t i = 0; i < size; ++i) out.push_back(keys[(start + i) % keys.size()]);
    std::sort(out.begin(), out.end());
    return out;
  }
};

std::string read_first_line(const char *path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::size_t count_tcp_sockets() {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::size_t n = 0;
  while (std::getline(in, line)) ++n;
  return n > 0 ? n - 1 : 0;
}

std::size_t count_processes() {
  DIR *proc = ::opendir("/proc");
  if (!proc) return 0;
  std::size_t n = 0;
  while (const dirent *entry = ::readdir(proc))
    if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') ++n;
  ::closedir(proc);
  return n;
}

struct row_t {
  std::string step;
  std::size_t batch;
  std::vector<double> us; // one per call
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(p * static_cast<double>(values.size()) + 0.999999);
  return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
}

std::size_t misses = 0;

void miss(const std::string &step, const std::string &what) {
  if (misses++ < 5) std::fprintf(stderr, "movri-bench-lookup: %s: %s\n", step.c_str(), what.c_str());
}

// Times `repeat` calls of one step, after one call that is not counted.
template <class Step> row_t measure(const std::string &name, std::size_t batch, std::size_t repeat, Step &&step) {
  row_t row{name, batch, {}};
  step(repeat); // warm-up
  for (std::size_t round = 0; round < repeat; ++round) {
    const auto begin = clock_type::now();
    step(round);
    row.us.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - begin).count());
  }
  return row;
}

int run(std::size_t n, std::size_t repeat) {
  raise_descriptor_limit(static_cast<rlim_t>(2 * n + 64));
  auto recorder = finder_t::choose_recorder(finder_t::cgroup_from_environment());
  connections_t connections(n);
  const int own_pid = ::getpid();

  std::optional<finder_t::netlink_inode_getter_t> netlink;
  try {
    netlink.emplace();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "movri-bench-lookup: no socket diagnostics: %s\n", mv::util::exception_message(e).c_str());
  }
  finder_t::proc_inode_getter_t proc;
  boost::asio::io_context io;
  std::optional<finder_t> bpf_finder;
  const finder_t::connect_recorder_t *map = recorder.get();
  if (recorder) bpf_finder.emplace(io, std::make_unique<finder_t::netlink_inode_getter_t>(), std::move(recorder));
  finder_t finder(io, std::make_unique<finder_t::netlink_inode_getter_t>());

  std::vector<row_t> rows;
  for (const std::size_t size : batch_sizes) {
    if (size > n) continue;
    // The inodes of every batch, looked up once beforehand for the walk, which starts from them.
    std::vector<std::vector<std::uint32_t>> inodes;
    for (std::size_t round = 0; round <= repeat; ++round)
      inodes.push_back(proc.get_inodes(connections.batch(size, round)));

    auto check_inodes = [&](const std::string &step, const std::vector<std::uint32_t> &found, std::size_t round) {
      if (found != inodes[round]) miss(step, "batch of " + std::to_string(size) + ": inodes differ");
    };
    std::vector<std::vector<finder_t::socket_info_t>> sockets;
    if (netlink) {
      for (std::size_t round = 0; round <= repeat; ++round) sockets.push_back(netlink->get_sockets(connections.batch(size, round)));
      rows.push_back(measure("sock_diag exact", size, repeat, [&](std::size_t round) {
        check_inodes("sock_diag exact", netlink->get_inodes(connections.batch(size, round)), round);
      }));
      rows.push_back(measure("sock_diag dump", size, repeat, [&](std::size_t round) {
        check_inodes("sock_diag dump", netlink->dump_inodes(connections.batch(size, round)), round);
      }));
    }
    rows.push_back(measure("/proc/net/tcp", size, repeat, [&](std::size_t round) {
      check_inodes("/proc/net/tcp", proc.get_inodes(connections.batch(size, round)), round);
    }));
    if (map && netlink)
      rows.push_back(measure("BPF map", size, repeat, [&](std::size_t round) {
        for (const auto &socket : sockets[round])
          if (finder_t::recorded_owner(*map, socket.cookie) != own_pid) miss("BPF map", "no recorded owner");
      }));
    rows.push_back(measure("/proc fd walk", size, repeat, [&](std::size_t round) {
      std::unordered_multiset<std::uint32_t> waiting(inodes[round].begin(), inodes[round].end());
      finder_t::scan_socket_owners([&](std::uint32_t inode, int pid) {
        if (waiting.erase(inode) > 0 && pid != own_pid) miss("/proc fd walk", "socket of another process");
        return waiting.empty();
      });
      if (!waiting.empty()) miss("/proc fd walk", std::to_string(waiting.size()) + " inodes not found");
    }));
    const auto whole_find = [&](const std::string &name, finder_t &f) {
      rows.push_back(measure(name, size, repeat, [&](std::size_t round) {
        std::size_t answered = 0;
        for (const auto &key : connections.batch(size, round))
          f.find_pid(key.first, key.second, [&](std::exception_ptr error, int pid) {
            ++answered;
            if (error) miss(name, mv::util::describe_exception(error));
            else if (pid != own_pid) miss(name, "answered PID " + std::to_string(pid));
          });
        const auto work = boost::asio::make_work_guard(io);
        io.restart(); // the loop stopped when it ran out of work after the previous call
        while (answered < size) io.run_one();
      }));
    };
    if (bpf_finder) whole_find("whole find BPF", *bpf_finder);
    whole_find("whole find", finder);
  }

  const std::string ehash = read_first_line("/proc/sys/net/ipv4/tcp_ehash_entries");
  std::string ehash_text = "unknown (no net.ipv4.tcp_ehash_entries)";
  if (!ehash.empty()) {
    ehash_text = ehash;
    if (ehash[0] == '-') ehash_text = ehash.substr(1) + " entries, shared with the initial namespace";
    else ehash_text = ehash + " entries, this namespace's own";
  }
  std::printf("TCP hash table: %s\n", ehash_text.c_str());
  std::printf("TCP sockets in this namespace: %zu (%zu connections of this tool, both ends, and its listener)\n",
              count_tcp_sockets(), n);
  std::printf("processes under /proc: %zu\n", count_processes());
  std::printf("inode getter of the finder: %s; BPF recorder: %s\n", finder.getter().name().c_str(),
              map ? map->cgroup().c_str() : "none");
  std::printf("calls per row: %zu\n\n", repeat);
  std::printf("%-16s %5s %12s %12s %15s %15s\n", "step", "batch", "median_us", "p99_us", "median_us/conn",
              "p99_us/conn");
  for (const auto &row : rows) {
    const double median = percentile(row.us, 0.5), p99 = percentile(row.us, 0.99);
    const double per = static_cast<double>(row.batch);
    std::printf("%-16s %5zu %12.1f %12.1f %15.2f %15.2f\n", row.step.c_str(), row.batch, median, p99,
                median / per, p99 / per);
  }
  for (const std::size_t size : batch_sizes)
    if (size > n) std::printf("(batch %zu left out: only %zu connections)\n", size, n);
  if (misses > 0) {
    std::fprintf(stderr, "movri-bench-lookup: %zu look-ups went wrong\n", misses);
    return 1;
  }
  return 0;
}

std::size_t positive(const char *text, const char *option) {
  char *end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || !end || *end != '\0' || value == 0 || value > 1000000 || text[0] == '-')
    fail(std::string(option) + " needs a number from 1 to 1000000");
  return static_cast<std::size_t>(value);
}

} // namespace

int main(int argc, char **argv) {
  std::size_t connections = 1000, repeat = 200;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--connections" || arg == "--repeat") && i + 1 < argc) {
      const std::size_t value = positive(argv[i + 1], argv[i]);
      (arg == "--connections" ? connections : repeat) = value;
      ++i;
    } else {
      std::fprintf(stderr, "usage: movri-bench-lookup [--connections N] [--repeat R]\n");
      return 2;
    }
  }
  try {
    return run(connections, repeat);
  } catch (const std::exception &e) {
    fail(mv::util::exception_message(e));
  }
}
