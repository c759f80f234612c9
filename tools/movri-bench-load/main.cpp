// Load generator for scripts/bench.
// ADDRESS is IPv4 or IPv6.
//   movri-bench-load serve ADDRESS PORT
//       answer every connection: read one byte, write one byte, close
//   movri-bench-load run ADDRESS PORT IN_FLIGHT SECONDS [CONNECTIONS]
//       keep IN_FLIGHT connections going for SECONDS (or until CONNECTIONS have been started and ended,
//       whichever comes first); each one connects, sends one byte, reads the reply
//       and closes. Prints one line of tab-separated key=value pairs: completed connections, refused
//       ones (a reset in answer to the SYN counts as a completed refusal), errors, connections/s and the
//       latency percentiles in microseconds (from socket creation to the end of the exchange).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fw/net/endpoint.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

// A numeric IPv4 or IPv6 address and a port; a bad address ends the program with status 2.
fw::net::endpoint_t make_address(const char *address, const char *port_text) {
  const auto endpoint = fw::net::parse_endpoint(address, static_cast<std::uint16_t>(std::atoi(port_text)));
  if (!endpoint) {
    std::fprintf(stderr, "invalid address: %s\n", address);
    std::exit(2);
  }
  return *endpoint;
}

int serve(const fw::net::endpoint_t &address) {
  const int listener = ::socket(address.protocol().family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listener, address.data(), address.size()) != 0 ||
      ::listen(listener, 4096) != 0) {
    std::perror("listen");
    return 1;
  }
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listener;
  ::epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
  std::vector<epoll_event> events(256);
  for (;;) {
    const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == listener) {
        for (;;) {
          const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (c < 0) break;
          epoll_event cev{};
          cev.events = EPOLLIN | EPOLLRDHUP;
          cev.data.fd = c;
          ::epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
        }
        continue;
      }
      char byte;
      const ssize_t r = ::recv(fd, &byte, 1, 0);
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (r == 1) (void)::send(fd, &byte, 1, MSG_NOSIGNAL);
      ::close(fd); // the server closes first, so TIME_WAIT stays on its side
    }
  }
}

struct slot_t {
  int fd = -1;
  bool connected = false;
  clock_type::time_point started;
};

int run(const fw::net::endpoint_t &address, int in_flight, double seconds, long limit) {
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<slot_t> slots(static_cast<std::size_t>(in_flight));
  std::vector<double> latencies;
  latencies.reserve(1 << 20);
  long completed = 0, refused = 0, errors = 0;
  bool stopping = false;
  int open = 0;
  long started_total = 0;

  auto start = [&](std::size_t i) {
    if (limit > 0 && started_total >= limit) return;
    ++started_total;
    slot_t &s = slots[i];
    s.fd = ::socket(address.protocol().family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    s.connected = false;
    s.started = clock_type::now();
    if (s.fd < 0) {
      std::perror("socket");
      std::exit(1);
    }
    const int r = ::connect(s.fd, address.data(), address.size());
    if (r != 0 && errno != EINPROGRESS) {
      std::fprintf(stderr, "connect: %s\n", std::strerror(errno));
      ++errors;
    }
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, s.fd, &ev);
    ++open;
  };
  auto finish = [&](std::size_t i, int outcome) { // 0 reply, 1 refused, 2 error
    slot_t &s = slots[i];
    const double us = std::chrono::duration<double, std::micro>(clock_type::now() - s.started).count();
    ::close(s.fd);
    s.fd = -1;
    --open;
    if (outcome == 0) ++completed;
    else if (outcome == 1) ++refused;
    else ++errors;
    if (outcome != 2) latencies.push_back(us);
    if (!stopping) start(i);
  };

  const auto begin = clock_type::now();
  const auto deadline = begin + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
  for (std::size_t i = 0; i < slots.size(); ++i) start(i);
  std::vector<epoll_event> events(1024);
  clock_type::time_point end = deadline;
  while (open > 0) {
    const auto now = clock_type::now();
    if (!stopping && now >= deadline) {
      stopping = true;
      end = now;
      // Connections still in flight at the deadline are not counted.
      for (auto &s : slots)
        if (s.fd >= 0) {
          ::close(s.fd);
          s.fd = -1;
          --open;
        }
      break;
    }
    const int wait_ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
    const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), wait_ms);
    for (int k = 0; k < n; ++k) {
      const std::size_t i = events[k].data.u64;
      slot_t &s = slots[i];
      if (s.fd < 0) continue;
      if (!s.connected) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == ECONNREFUSED || error == ECONNRESET) {
          finish(i, 1);
          continue;
        }
        if (error != 0) {
          finish(i, 2);
          continue;
        }
        if (!(events[k].events & EPOLLOUT)) continue;
        s.connected = true;
        const char byte = 'x';
        if (::send(s.fd, &byte, 1, MSG_NOSIGNAL) != 1) {
          finish(i, 2);
          continue;
        }
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = i;
        ::epoll_ctl(ep, EPOLL_CTL_MOD, s.fd, &ev);
        continue;
      }
      char byte;
      const ssize_t r = ::recv(s.fd, &byte, 1, 0);
      if (r == 1) finish(i, 0);
      else if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      else finish(i, 2);
    }
  }
  if (!stopping) end = clock_type::now(); // every connection of CONNECTIONS ended before the deadline
  const double elapsed = std::chrono::duration<double>(end - begin).count();
  std::sort(latencies.begin(), latencies.end());
  auto percentile = [&](double p) -> double {
    if (latencies.empty()) return 0;
    const std::size_t index = std::min(latencies.size() - 1, static_cast<std::size_t>(p * latencies.size()));
    return latencies[index];
  };
  std::printf("completed=%ld\trefused=%ld\terrors=%ld\tseconds=%.3f\tcps=%.1f\tp50_us=%.1f\tp99_us=%.1f\n",
              completed, refused, errors, elapsed, static_cast<double>(completed + refused) / elapsed,
              percentile(0.50), percentile(0.99));
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "serve" && argc == 4) return serve(make_address(argv[2], argv[3]));
  if (mode == "run" && (argc == 6 || argc == 7)) {
    const int in_flight = std::atoi(argv[4]);
    const double seconds = std::atof(argv[5]);
    const long limit = argc == 7 ? std::atol(argv[6]) : 0;
    if (in_flight < 1 || seconds <= 0 || limit < 0) {
      std::fprintf(stderr, "IN_FLIGHT and SECONDS must be positive, CONNECTIONS not negative\n");
      return 2;
    }
    return run(make_address(argv[2], argv[3]), in_flight, seconds, limit);
  }
  std::fprintf(stderr, "usage: movri-bench-load serve ADDRESS PORT\n"
                       "       movri-bench-load run ADDRESS PORT IN_FLIGHT SECONDS [CONNECTIONS]\n");
  return 2;
}
