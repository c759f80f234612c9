#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "fw/util/scoped_fd.hpp"

namespace tests::tcp {

// Real IPv4 TCP on 127.0.0.1 inside the test's namespace, for judging a verdict by what the client and
// the server see. Every wait is bounded: a daemon that hangs fails the test instead of hanging it.

// The address 127.0.0.1:port.
sockaddr_in loopback(std::uint16_t port);

// A server listening on 127.0.0.1:port, room for backlog connections not yet accepted.
fw::util::scoped_fd_t listen_on(std::uint16_t port, int backlog = 64);
// The next connection to the listener; an empty descriptor when none comes within the timeout.
fw::util::scoped_fd_t accept_from(int listener, int timeout_seconds = 10);

// A client whose connect to 127.0.0.1:port has been started (non-blocking); finish_connect tells how
// it ended. The descriptor is blocking again once established.
fw::util::scoped_fd_t start_connect(std::uint16_t port);
enum class connect_outcome_t { established, refused, timed_out, failed };
connect_outcome_t finish_connect(int fd, int timeout_seconds = 10);
const char *to_string(connect_outcome_t outcome);

bool send_text(int fd, const std::string &text);

// Finishes the client's connect and accepts its connection from the listener: the server's side, or an
// empty descriptor (failing the test, with the context) when it is not established or does not arrive.
fw::util::scoped_fd_t server_side(int client, int listener, const std::string &context = {});
// Data one way and the other between the two ends of a connection.
void expect_exchange(int client, int server_side);

// The bytes read until size bytes have come, the stream ends or fails, or the timeout passes.
std::string receive(int fd, std::size_t size, int timeout_seconds = 10);
// Whether the stream ends (end of stream or reset) within the timeout, reading and dropping any bytes.
bool ends(int fd, int timeout_seconds = 10);

// The local or remote port of a connected socket.
std::uint16_t local_port(int fd);
std::uint16_t peer_port(int fd);

} // namespace tests::tcp
