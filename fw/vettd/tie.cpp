#include "fw/vettd/tie.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "mv/log/log.hpp"
#include "mv/util/error_code.hpp"
#include "vettd_client_ipc.pb.h"

namespace fw::vettd {

namespace {

constexpr const char *prefix = "VettD tie: ";

std::exception_ptr tie_error(const boost::system::error_code &ec, const std::string &step = std::string()) {
  return std::make_exception_ptr(boost::system::system_error(ec, prefix + step));
}

} // namespace

tie_t::tie_t(socket_t socket, const inspect_settings_t &inspect, const scan_settings_t &scan, bool block_unchecked)
    : socket_(std::move(socket)), inspect_(inspect), scan_(scan), block_unchecked_(block_unchecked) {
  boost::system::error_code ec;
  socket_.non_blocking(true, ec); // FIONBIO
  if (ec) throw boost::system::system_error(ec, std::string(prefix) + "cannot set non-blocking mode");
}

tie_t::~tie_t() { abandon(); }

void tie_t::start(delegate_t &delegate) {
  delegate_ = &delegate;
  watch();
}

void tie_t::send(const mv::RuleSet &rules, fw::util::scoped_fd_t server, fw::util::scoped_fd_t client) {
  if (failed_) return; // a failed tie takes nothing more; the descriptors close here

  vd::ClientMessage message;
  message.set_tag(vd::ClientMessage::COMPLEMENTARY_CONNECTIONS);
  message.set_scan_timeout(scan_.scan_timeout);
  message.set_heuristic_analysis(scan_.heuristic_analysis);
  message.set_packer_max_level(scan_.packer_max_level);
  message.set_archive_max_level(scan_.archive_max_level);
  message.set_mail_max_level(scan_.mail_max_level);
  message.set_container_max_level(scan_.container_max_level);
  message.set_max_compression_ratio(scan_.max_compression_ratio);
  message.set_block_unchecked(block_unchecked_);
  message.set_inspect_http(inspect_.http);
  message.set_inspect_pop3(inspect_.pop3);
  message.set_inspect_imap(inspect_.imap);
  message.set_inspect_smtp(inspect_.smtp);
  message.set_inspect_ftp(inspect_.ftp);
  *message.mutable_rule_set() = rules;

  const std::size_t length = message.ByteSizeLong();
  frame_t frame;
  frame.size = 4 + length;
  frame.data.reset(new std::uint8_t[frame.size]);
  for (int i = 0; i < 4; ++i) frame.data[i] = static_cast<std::uint8_t>(length >> (8 * i));
  message.SerializeWithCachedSizesToArray(frame.data.get() + 4);
  frame.client = std::move(client);
  frame.server = std::move(server);
  frame.attached = true;
  const int c = frame.client.get(), s = frame.server.get();
  queue_.push_back(std::move(frame));

  MV_LOG(Debug, std::string(prefix) + "queued sending of COMPLEMENTARY_CONNECTIONS (c=" + std::to_string(c) +
                    ", s=" + std::to_string(s) + ")");
  if (queue_.size() == 1) send_next();
}

// Sends frames until the queue is empty or the socket is full. The delegate is called last: it may
// destroy the tie, so nothing here touches the object after calling it.
void tie_t::send_next() {
  for (;;) {
    if (queue_.empty()) {
      if (delegate_) delegate_->on_idle();
      return;
    }
    frame_t &frame = queue_.front();

    iovec iov{frame.data.get() + frame.sent, frame.size - frame.sent};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
    const bool with_descriptors = frame.attached;
    if (with_descriptors) {
      std::memset(control, 0, sizeof control);
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      cmsghdr *header = CMSG_FIRSTHDR(&msg);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(2 * sizeof(int));
      const int fds[2] = {frame.client.get(), frame.server.get()};
      std::memcpy(CMSG_DATA(header), fds, sizeof fds);
    }

    // A VettD that went away must not take the daemon with it: no SIGPIPE, just EPIPE.
    ssize_t n;
    do
      n = ::sendmsg(socket_.native_handle(), &msg, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);

    if (n < 0) {
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        MV_LOG(Debug, std::string(prefix) + "sending would block");
        return wait_writable();
      }
      return fail(tie_error(boost::system::error_code(error, boost::system::system_category()), "sendmsg failed"));
    }

    if (with_descriptors)
      MV_LOG(Debug, std::string(prefix) + "sent " + std::to_string(n) + " bytes + descriptors (c=" +
                        std::to_string(frame.client.get()) + ", s=" + std::to_string(frame.server.get()) + ")");
    else
      MV_LOG(Debug, std::string(prefix) + "sent " + std::to_string(n) + " bytes");
    frame.sent += static_cast<std::size_t>(n);
    if (with_descriptors) {
      // VettD holds its own copies now.
      frame.client.reset();
      frame.server.reset();
      frame.attached = false;
    }
    if (frame.sent == frame.size) queue_.pop_front();
  }
}

void tie_t::wait_writable() {
  socket_.async_wait(socket_t::wait_write, wrap([this](const boost::system::error_code &ec) {
                       if (ec == boost::asio::error::operation_aborted) return;
                       if (ec) return fail(tie_error(ec));
                       MV_LOG(Debug, std::string(prefix) + "sending would not block");
                       send_next();
                     }));
}

void tie_t::watch() {
  socket_.async_receive(boost::asio::buffer(&probe_, 1),
                        wrap([this](const boost::system::error_code &ec, std::size_t) { on_watch(ec); }));
}

void tie_t::on_watch(const boost::system::error_code &ec) {
  MV_LOG(Debug, std::string(prefix) + ec.message());
  if (ec == boost::asio::error::operation_aborted) return;
  if (!ec) return fail(tie_error(mv::make_error_code(mv::EC_PROTOCOL_VIOLATION)));
  if (ec == boost::asio::error::eof) {
    if (!queue_.empty()) return fail(tie_error(mv::make_error_code(mv::EC_UNEXPECTED_EOF)));
    if (delegate_) delegate_->on_closed();
    return;
  }
  fail(tie_error(ec));
}

void tie_t::fail(std::exception_ptr error) {
  failed_ = true;
  boost::system::error_code ignored;
  socket_.close(ignored);
  queue_.clear();
  abandon();
  if (auto *delegate = std::exchange(delegate_, nullptr)) delegate->on_error(std::move(error));
}

} // namespace fw::vettd
