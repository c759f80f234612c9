#include "tests/support/fake_hubd.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include <gtest/gtest.h>

namespace tests {

fake_hubd_t::fake_hubd_t(const std::map<std::string, std::optional<std::string>> &env) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair failed");
  channel_ = fds[0];
  auto full_env = env;
  full_env.emplace("COM_MOVRI_MONITOR", std::to_string(fds[1]));
  daemon_ = std::make_unique<child_process_t>(MOVRI_BINARY, std::vector<std::string>{}, full_env, std::vector<int>{fds[1]});
  ::close(fds[1]);
}

fake_hubd_t::~fake_hubd_t() {
  daemon_.reset();
  close();
  if (vettd_listener_ >= 0) {
    ::close(vettd_listener_);
    ::unlink(vettd_path_.c_str());
  }
}

void fake_hubd_t::close() {
  if (channel_ >= 0) ::close(channel_);
  channel_ = -1;
}

bool fake_hubd_t::read_exactly(char *data, std::size_t size, int timeout_seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  std::size_t done = 0;
  while (done < size) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd p{channel_, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) == 0) {
      ADD_FAILURE() << "no message from the daemon in time; its output:\n" << daemon_->output();
      return false;
    }
    const ssize_t n = ::read(channel_, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<mv::Firewall2HubdMessage> fake_hubd_t::receive(int timeout_seconds) {
  if (channel_ < 0) return std::nullopt;
  unsigned char prefix[4];
  if (!read_exactly(reinterpret_cast<char *>(prefix), 4, timeout_seconds)) return std::nullopt;
  const std::uint32_t size = prefix[0] | prefix[1] << 8 | prefix[2] << 16 | std::uint32_t(prefix[3]) << 24;
  std::string payload(size, '\0');
  if (!read_exactly(payload.data(), size, timeout_seconds)) return std::nullopt;
  mv::Firewall2HubdMessage message;
  if (!message.ParseFromString(payload)) {
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
    answer.set_socket_path(vettd_path());
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

std::string fake_hubd_t::frame(const std::string &payload) {
  const auto n = static_cast<std::uint32_t>(payload.size());
  return std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)} + payload;
}

void fake_hubd_t::send_bytes(const std::string &bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(channel_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ADD_FAILURE() << "cannot write to the daemon";
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

void fake_hubd_t::send(const mv::Hubd2FirewallMessage &message) { send_bytes(frame(message.SerializeAsString())); }

void fake_hubd_t::send_partial(const mv::Hubd2FirewallMessage &message) {
  send_bytes(frame(message.SerializePartialAsString()));
}

void fake_hubd_t::send_config(const mv::DarorUvurarevUzuvid &config, std::uint32_t revision) {
  mv::Hubd2FirewallMessage message;
  message.set_tag(mv::Hubd2FirewallMessage::GET_CONFIG_RESPONSE);
  message.set_config_revision(revision);
  *message.mutable_config() = config;
  send(message);
}

std::string fake_hubd_t::vettd_path() {
  if (vettd_listener_ < 0) {
    vettd_path_ = "/tmp/movri-test-vettd." + std::to_string(::getpid()) + ".sock";
    ::unlink(vettd_path_.c_str());
    vettd_listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", vettd_path_.c_str());
    if (::bind(vettd_listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(vettd_listener_, 16) != 0)
      ADD_FAILURE() << "cannot listen on " << vettd_path_;
  }
  return vettd_path_;
}

mv::DarorUvurarevUzuvid fake_hubd_t::stderr_config() {
  mv::DarorUvurarevUzuvid config;
  auto *listen = config.mutable_tproxy_listen_address();
  listen->set_address("127.0.0.1");
  listen->set_port(0);
  config.set_log_level(mv::LOG_LEVEL_DEBUG);
  config.mutable_actual_log()->set_type(mv::Log::STDERR);
  config.mutable_intercept_hook()->set_buffer("function intercept_hook(ctx) return \"check\" end");
  return config;
}

} // namespace tests
