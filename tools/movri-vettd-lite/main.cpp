// movri-vettd-lite: the least VettD that makes checked connections work. See --help.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/write.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>

#include "fw/net/endpoint.hpp"
#include "fw/util/scoped_fd.hpp"
#include "vettd_client_ipc.pb.h"

namespace {

constexpr const char *usage = R"(Usage: movri-vettd-lite [options] SOCKET

Plays VettD, the suite's scanning gateway, for movri-firewall:

  - listens on the unix-domain stream socket SOCKET (a socket already there is
    replaced; the file is removed at exit); hand the path to the daemon through HubD,
    for instance with movri-hubd-lite --vettd SOCKET;
  - reads the frames the daemon sends on each connection: a 32-bit little-endian
    length and a vd.ClientMessage (COMPLEMENTARY_CONNECTIONS), with the client's and
    the server's socket attached;
  - relays bytes between that client and server in both directions until both sides
    have closed: a side that stops sending makes the relay stop sending to the other
    side; a reset or error on either side ends both;
  - prints one line per relayed connection: the client and server endpoints, the
    scanning settings and the variables of the rule set.

It inspects nothing, blocks on no connection, and never writes to the daemon's socket.

Signals:
  SIGTERM, SIGINT  remove SOCKET and exit with status 0.

Options)";

constexpr std::uint32_t max_frame = 64u * 1024 * 1024;

void say(const std::string &text) { std::cout << "vettd-lite: " << text << std::endl; }

std::string peer_of(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getpeername(fd, reinterpret_cast<sockaddr *>(&storage), &length) != 0) return "?";
  boost::asio::ip::tcp::endpoint endpoint;
  if (length > endpoint.capacity()) return "?";
  std::memcpy(endpoint.data(), &storage, length);
  endpoint.resize(length);
  return fw::net::to_string(endpoint); // an IPv6 address in brackets, as the daemon writes it
}

// Relays one client/server pair. Each direction reads into its own buffer and writes everything it
// read before reading again; the relay ends when both directions have ended or one side failed.
class relay_t : public std::enable_shared_from_this<relay_t> {
public:
  using socket_t = boost::asio::ip::tcp::socket;

  relay_t(socket_t client, socket_t server) : sides_{std::move(client), std::move(server)} {}

  void start() {
    pump(0, 1);
    pump(1, 0);
  }

private:
  void pump(int from, int to) {
    auto self = shared_from_this();
    sides_[from].async_read_some(boost::asio::buffer(buffers_[from]), [this, self, from, to](const boost::system::error_code &ec, std::size_t n) {
      if (ended_) return;
      if (ec == boost::asio::error::eof) {
        boost::system::error_code ignored;
        sides_[to].shutdown(socket_t::shutdown_send, ignored);
        return;
      }
      if (ec) return end();
      boost::asio::async_write(sides_[to], boost::asio::buffer(buffers_[from].data(), n),
                               [this, self, from, to](const boost::system::error_code &ec, std::size_t) {
                                 if (ended_) return;
                                 if (ec) return end();
                                 pump(from, to);
                               });
    });
  }

  // Closing both sides aborts what is still pending; the last handler releases the relay.
  void end() {
    ended_ = true;
    boost::system::error_code ignored;
    sides_[0].close(ignored);
    sides_[1].close(ignored);
  }

  std::array<socket_t, 2> sides_;
  std::array<std::array<char, 65536>, 2> buffers_;
  bool ended_ = false;
};

// One connection from the daemon: frames with two descriptors each, read without blocking.
class daemon_connection_t : public std::enable_shared_from_this<daemon_connection_t> {
public:
  using socket_t = boost::asio::local::stream_protocol::socket;

  daemon_connection_t(boost::asio::io_context &io, socket_t socket, unsigned &connections)
      : io_(io), socket_(std::move(socket)), connections_(connections) {}

  void start() {
    socket_.non_blocking(true);
    wait();
  }

private:
  void wait() {
    socket_.async_wait(socket_t::wait_read, [self = shared_from_this()](const boost::system::error_code &ec) {
      if (ec) return;
      self->receive();
    });
  }

  void receive() {
    for (;;) {
      char chunk[65536];
      iovec iov{chunk, sizeof chunk};
      alignas(cmsghdr) char control[CMSG_SPACE(16 * sizeof(int))];
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t n = ::recvmsg(socket_.native_handle(), &msg, MSG_CMSG_CLOEXEC);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return wait();
      if (n < 0) return close(std::string("receive failed: ") + std::strerror(errno));
      for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
          int fd;
          std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
          fds_.emplace_back(fd);
        }
      }
      if (n == 0) return close("daemon connection closed");
      bytes_.append(chunk, static_cast<std::size_t>(n));
      if (!take_frames()) return;
    }
  }

  // Handles every complete frame; false once the connection is closed.
  bool take_frames() {
    for (;;) {
      if (bytes_.size() < 4) return true;
      const auto *p = reinterpret_cast<const unsigned char *>(bytes_.data());
      const std::uint32_t length = p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
      if (length == 0 || length > max_frame) {
        close("invalid frame length " + std::to_string(length));
        return false;
      }
      if (bytes_.size() < 4 + std::size_t(length)) return true;
      vd::ClientMessage message;
      const bool parsed = message.ParseFromArray(bytes_.data() + 4, static_cast<int>(length));
      bytes_.erase(0, 4 + std::size_t(length));
      if (!parsed) {
        close("invalid vd.ClientMessage");
        return false;
      }
      if (fds_.size() < 2) {
        close("frame without its two descriptors");
        return false;
      }
      fw::util::scoped_fd_t client = std::move(fds_.front());
      fds_.pop_front();
      fw::util::scoped_fd_t server = std::move(fds_.front());
      fds_.pop_front();
      relay(message, std::move(client), std::move(server));
    }
  }

  void relay(vd::ClientMessage message, fw::util::scoped_fd_t client, fw::util::scoped_fd_t server) {
    const unsigned number = ++connections_;
    std::string variables;
    for (const auto &v : message.rule_set().variable()) variables += (variables.empty() ? "" : ", ") + v.ShortDebugString();
    const std::string endpoints = peer_of(client.get()) + " -> " + peer_of(server.get());
    message.clear_rule_set();
    message.clear_tag();
    say("connection " + std::to_string(number) + ": " + endpoints + "; settings: " + message.ShortDebugString() +
        "; variables: [" + variables + "]");
    try {
      auto side = [this](fw::util::scoped_fd_t fd) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&address), &length);
        const auto protocol = address.ss_family == AF_INET6 ? boost::asio::ip::tcp::v6() : boost::asio::ip::tcp::v4();
        relay_t::socket_t socket(io_);
        socket.assign(protocol, fd.get());
        fd.release();
        return socket;
      };
      auto c = side(std::move(client));
      auto s = side(std::move(server));
      std::make_shared<relay_t>(std::move(c), std::move(s))->start();
    } catch (const std::exception &e) {
      say("connection " + std::to_string(number) + ": cannot relay: " + e.what());
    }
  }

  void close(const std::string &why) {
    say(why);
    boost::system::error_code ignored;
    socket_.close(ignored);
    fds_.clear();
  }

  boost::asio::io_context &io_;
  socket_t socket_;
  unsigned &connections_;
  std::string bytes_;
  std::deque<fw::util::scoped_fd_t> fds_;
};

class vettd_t {
public:
  vettd_t(boost::asio::io_context &io, const std::string &path) : io_(io), path_(path), acceptor_(io), signals_(io) {}

  void run() {
    boost::system::error_code ec;
    if (boost::filesystem::is_other(path_, ec)) boost::filesystem::remove(path_, ec);
    acceptor_.open();
    acceptor_.bind(boost::asio::local::stream_protocol::endpoint(path_));
    acceptor_.listen();
    say("listening on " + path_);
    signals_.add(SIGTERM);
    signals_.add(SIGINT);
    signals_.async_wait([this](const boost::system::error_code &ec, int) {
      if (ec) return;
      say("exiting");
      io_.stop();
    });
    accept();
    io_.run();
    boost::filesystem::remove(path_, ec);
  }

private:
  void accept() {
    acceptor_.async_accept([this](const boost::system::error_code &ec, daemon_connection_t::socket_t socket) {
      if (ec == boost::asio::error::operation_aborted) return;
      if (ec) {
        say("accept failed: " + ec.message());
      } else {
        say("daemon connected");
        std::make_shared<daemon_connection_t>(io_, std::move(socket), connections_)->start();
      }
      accept();
    });
  }

  boost::asio::io_context &io_;
  std::string path_;
  boost::asio::local::stream_protocol::acceptor acceptor_;
  boost::asio::signal_set signals_;
  unsigned connections_ = 0;
};

} // namespace

int main(int argc, char **argv) {
  namespace po = boost::program_options;
  po::options_description options(usage);
  options.add_options()("help,h", "print this text");
  po::options_description hidden;
  hidden.add_options()("socket", po::value<std::string>());
  po::options_description all;
  all.add(options).add(hidden);
  po::positional_options_description positional;
  positional.add("socket", 1);
  po::variables_map vm;
  try {
    po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
    po::notify(vm);
  } catch (const std::exception &e) {
    std::cerr << "movri-vettd-lite: " << e.what() << "\n" << options << std::endl;
    return 2;
  }
  if (vm.count("help")) {
    std::cout << options << std::endl;
    return 0;
  }
  if (!vm.count("socket")) {
    std::cerr << "movri-vettd-lite: no SOCKET given\n" << options << std::endl;
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  try {
    boost::asio::io_context io(1);
    vettd_t(io, vm["socket"].as<std::string>()).run();
  } catch (const std::exception &e) {
    std::cerr << "movri-vettd-lite: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
