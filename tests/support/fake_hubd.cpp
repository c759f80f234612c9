#include "tests/support/fake_hubd.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include <gtest/gtest.h>

namespace tests {

namespace {

fw::util::scoped_fd_t channel_pair(int &daemon_end) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair failed");
  daemon_end = fds[1];
  return fw::util::scoped_fd_t(fds[0]);
}

} // namespace

fake_hubd_t::fake_hubd_t() : channel_(channel_pair(daemon_end_)) {
  daemon_ = std::make_unique<child_process_t>(MOVRI_BINARY, std::vector<std::string>{},
                                              env_t{{"COM_MOVRI_MONITOR", std::to_string(daemon_end_)}},
                                              std::vector<int>{daemon_end_});
  ::close(daemon_end_);
}

fake_hubd_t::~fake_hubd_t() {
  daemon_.reset();
  close();
}

std::optional<mv::Firewall2HubdMessage> fake_hubd_t::receive(int timeout_seconds) {
  const auto payload = channel_.receive_frame(timeout_seconds, "the daemon (its output:\n" + daemon_->output() + ")");
  if (!payload) return std::nullopt;
  mv::Firewall2HubdMessage message;
  if (!message.ParseFromString(*payload)) {
    ADD_FAILURE() << "the daemon sent a frame that does not parse";
    return std::nullopt;
  }
  return message;
}

mv::Firewall2HubdMessage fake_hubd_t::expect(mv::Firewall2HubdMessage::MessageTag tag) {
  auto message = receive();
  // The daemon asks for VettD at every start; a test that waits for something else gets it answered
  // with a listening socket that holds whatever the daemon sends.
  while (message && message->tag() == mv::Firewall2HubdMessage::GET_VETTD_REQUEST &&
         tag != mv::Firewall2HubdMessage::GET_VETTD_REQUEST) {
    mv::Hubd2FirewallMessage answer;
    answer.set_tag(mv::Hubd2FirewallMessage::GET_VETTD_RESPONSE);
    if (!vettd_) vettd_ = std::make_unique<unix_listener_t>("/tmp/movri-test-vettd." + std::to_string(::getpid()) + ".sock");
    answer.set_socket_path(vettd_->path());
    send(answer);
    message = receive();
  }
  if (!message) {
    ADD_FAILURE() << "expected " << mv::Firewall2HubdMessage::MessageTag_Name(tag)
                  << ", the channel closed; daemon output:\n" << daemon_->output();
    return {};
  }
  EXPECT_EQ(message->tag(), tag) << message->ShortDebugString();
  return *message;
}

mv::Hubd2FirewallMessage fake_hubd_t::config_response(std::uint32_t revision, const fw::configuration_t &config) {
  mv::Hubd2FirewallMessage message;
  message.set_tag(mv::Hubd2FirewallMessage::GET_CONFIG_RESPONSE);
  message.set_config_revision(revision);
  *message.mutable_config() = config;
  return message;
}

fw::configuration_t fake_hubd_t::stderr_config() {
  fw::configuration_t config;
  auto *listen = config.mutable_tproxy_listen_address();
  listen->set_address("127.0.0.1");
  listen->set_port(0);
  config.set_log_level(mv::LOG_LEVEL_DEBUG);
  config.mutable_actual_log()->set_type(mv::Log::STDERR);
  config.mutable_intercept_hook()->set_buffer("function intercept_hook(ctx) return \"check\" end");
  return config;
}

} // namespace tests
