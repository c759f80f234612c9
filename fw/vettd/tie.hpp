#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>

#include "fw/util/scoped_fd.hpp"
#include "mv/util/callback_wrapper.hpp"
#include "rules.pb.h"

namespace fw::vettd {

// The daemon's end of the socket to VettD. Every checked connection goes out as one framed
// vd.ClientMessage (32-bit little-endian length, then the message) with the client and server
// descriptors attached to the first sendmsg of the frame. VettD never writes to this socket, so the
// tie only watches it for closing: a byte from VettD is a protocol violation, and an end of stream
// is quiet only while nothing is waiting to be sent.
class tie_t : public mv::util::callback_wrapper_t {
public:
  class delegate_t {
  public:
    // The send queue became empty.
    virtual void on_idle() = 0;
    // VettD closed the socket while nothing was pending. The delegate may destroy the tie inside.
    virtual void on_closed() = 0;
    // The tie failed: its socket is closed and its pending frames are gone. The delegate may destroy
    // the tie inside.
    virtual void on_error(std::exception_ptr error) = 0;

  protected:
    ~delegate_t() = default;
  };

  struct inspect_settings_t {
    bool http = false;
    bool pop3 = false;
    bool imap = false;
    bool smtp = false;
    bool ftp = false;
  };

  struct scan_settings_t {
    std::uint32_t scan_timeout = 0;
    bool heuristic_analysis = false;
    std::uint32_t packer_max_level = 0;
    std::uint32_t archive_max_level = 0;
    std::uint32_t mail_max_level = 0;
    std::uint32_t container_max_level = 0;
    std::uint32_t max_compression_ratio = 0;
  };

  using socket_t = boost::asio::local::stream_protocol::socket;

  // Takes the connected socket and puts it into non-blocking mode.
  tie_t(socket_t socket, const inspect_settings_t &inspect, const scan_settings_t &scan, bool block_unchecked);
  ~tie_t() override;

  // Stores the delegate and begins watching the socket for closing.
  void start(delegate_t &delegate);

  // Settings for the frames queued from now on; frames already queued keep theirs.
  void set_inspect_settings(const inspect_settings_t &inspect) { inspect_ = inspect; }
  void set_scan_settings(const scan_settings_t &scan) { scan_ = scan; }
  void set_block_unchecked(bool block) { block_unchecked_ = block; }

  // Queues one frame carrying a copy of the rule set and both descriptors (owned from now on) and
  // starts sending when nothing else was queued. May call the delegate before returning.
  void send(const mv::RuleSet &rules, fw::util::scoped_fd_t server, fw::util::scoped_fd_t client);

  std::size_t queued() const noexcept { return queue_.size(); }

private:
  // One frame waiting to go out; the descriptors are closed here once the kernel has taken them.
  struct frame_t {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
    std::size_t sent = 0;
    fw::util::scoped_fd_t client;
    fw::util::scoped_fd_t server;
    bool attached = false;
  };

  void send_next();
  void wait_writable();
  void watch();
  void on_watch(const boost::system::error_code &ec);
  void fail(std::exception_ptr error);

  socket_t socket_;
  inspect_settings_t inspect_;
  scan_settings_t scan_;
  bool block_unchecked_;
  delegate_t *delegate_ = nullptr;
  std::deque<frame_t> queue_;
  std::uint8_t probe_ = 0;
  bool failed_ = false;
};

} // namespace fw::vettd
