// A tiny TCP peer for the demo and the end-to-end tests:
// ADDRESS is IPv4 or IPv6.
//   movri-demo-peer serve ADDRESS PORT...        answer every connection with "reply:" + what it sent
//   movri-demo-peer connect ADDRESS PORT TEXT [SECONDS]
//                                                 send TEXT, print the outcome: "reply <text>",
//                                                 "refused", "timeout" or "error <message>"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fw/net/endpoint.hpp"

namespace {

// A numeric IPv4 or IPv6 address and a port; a bad address ends the program with status 2.
fw::net::endpoint_t make_address(const char *address, int port) {
  const auto endpoint = fw::net::parse_endpoint(address, static_cast<std::uint16_t>(port));
  if (!endpoint) {
    std::fprintf(stderr, "invalid address: %s\n", address);
    std::exit(2);
  }
  return *endpoint;
}

void answer(int fd) {
  char buffer[4096];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  if (n > 0) {
    std::string reply = "reply:" + std::string(buffer, static_cast<size_t>(n));
    (void)::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
  }
  ::close(fd);
}

int serve(const char *address, const std::vector<int> &ports) {
  std::vector<pollfd> listeners;
  for (int port : ports) {
    const auto a = make_address(address, port);
    const int fd = ::socket(a.protocol().family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a.data(), a.size()) != 0 || ::listen(fd, 512) != 0) {
      std::fprintf(stderr, "cannot listen on %s:%d: %s\n", address, port, std::strerror(errno));
      return 1;
    }
    listeners.push_back({fd, POLLIN, 0});
  }
  for (;;) {
    if (::poll(listeners.data(), listeners.size(), -1) < 0 && errno != EINTR) return 1;
    for (auto &l : listeners) {
      if (!(l.revents & POLLIN)) continue;
      const int fd = ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) std::thread(answer, fd).detach();
    }
  }
}

int connect_once(const char *address, int port, const std::string &text, int seconds) {
  const auto a = make_address(address, port);
  const int fd = ::socket(a.protocol().family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  const unsigned timeout_ms = static_cast<unsigned>(seconds) * 1000;
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout_ms, sizeof timeout_ms);
  timeval tv{seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::connect(fd, a.data(), a.size()) != 0) {
    if (errno == ECONNREFUSED || errno == ECONNRESET) std::puts("refused");
    else if (errno == ETIMEDOUT || errno == EINPROGRESS || errno == EAGAIN) std::puts("timeout");
    else std::printf("error %s\n", std::strerror(errno));
    return 0;
  }
  (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  char buffer[4096];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  if (n > 0) std::printf("reply %.*s\n", static_cast<int>(n), buffer);
  else if (n == 0) std::puts("closed");
  else if (errno == ECONNRESET) std::puts("refused");
  else if (errno == EAGAIN || errno == ETIMEDOUT) std::puts("timeout");
  else std::printf("error %s\n", std::strerror(errno));
  ::close(fd);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "serve" && argc >= 4) {
    std::vector<int> ports;
    for (int i = 3; i < argc; ++i) ports.push_back(std::atoi(argv[i]));
    return serve(argv[2], ports);
  }
  if (mode == "connect" && argc >= 5) return connect_once(argv[2], std::atoi(argv[3]), argv[4], argc > 5 ? std::atoi(argv[5]) : 3);
  std::fprintf(stderr,
               "usage: movri-demo-peer serve ADDRESS PORT...\n"
               "       movri-demo-peer connect ADDRESS PORT TEXT [SECONDS]\n");
  return 2;
}
