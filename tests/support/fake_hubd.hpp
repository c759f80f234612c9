#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "fw/util/configuration.hpp"
#include "hubd_linux_firewall_ipc.pb.h"
#include "tests/support/child_process.hpp"
#include "tests/support/framed_peer.hpp"
#include "tests/support/unix_listener.hpp"

namespace tests {

// The HubD side of the channel, played by the test: starts movri-firewall with one end of a unix socket
// pair named in COM_MOVRI_MONITOR and talks to it in frames over the other end (blocking, with timeouts).
class fake_hubd_t {
public:
  fake_hubd_t();
  ~fake_hubd_t();

  // The next message from the daemon; nullopt when the daemon closed the channel (or after the timeout,
  // which also fails the test).
  std::optional<mv::Firewall2HubdMessage> receive(int timeout_seconds = 20);
  // Receives and checks that the message has the tag; returns it.
  mv::Firewall2HubdMessage expect(mv::Firewall2HubdMessage::MessageTag tag);

  // Sends a message serialized without the required-field check (so that a test can break the protocol).
  void send(const mv::Hubd2FirewallMessage &message) { send_bytes(frame(message.SerializePartialAsString())); }
  void send_bytes(const std::string &bytes) { channel_.send_bytes(bytes); }
  void send_config(const fw::configuration_t &config, std::uint32_t revision) { send(config_response(revision, config)); }
  // Closes the test's end of the channel.
  void close() { channel_.close(); }
  // The test's end of the channel (-1 once closed).
  int channel() const noexcept { return channel_.fd(); }

  child_process_t &daemon() { return *daemon_; }

  // A configuration that logs everything to standard error, with a hook that checks every connection.
  static fw::configuration_t stderr_config();
  // The answer to a request for configuration.
  static mv::Hubd2FirewallMessage config_response(std::uint32_t revision, const fw::configuration_t &config = stderr_config());
  // One frame: the 32-bit little-endian length and the payload.
  static std::string frame(const std::string &payload) { return framed_peer_t::frame(payload); }

private:
  int daemon_end_ = -1;
  framed_peer_t channel_;
  // Listens in place of VettD, which the daemon asks for at every start (created on first use).
  std::unique_ptr<unix_listener_t> vettd_;
  std::unique_ptr<child_process_t> daemon_;
};

} // namespace tests
