#pragma once

#include <chrono>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fw/linux/netlink/async/link.hpp"
#include "fw/linux/netlink/socket.hpp"
#include "fw/linux/nfqueue/pooled_allocator.hpp"
#include "fw/net/ip_header.hpp"
#include "fw/net/tcp_header.hpp"
#include "fw/util/log_throttle.hpp"
#include "fw/util/scoped_fd.hpp"

namespace fw::linux::nfqueue {

// Owns one NFQUEUE queue: receives each queued packet (IPv4 or IPv6, and TCP headers only), keeps it pending
// and hands it to its delegate, which later gives the verdict through the entry handle: accept, drop,
// or repeat with a new mark. At most queue_limit packets are kept; beyond that the oldest is dropped.
// A packet that cannot be read as IPv4 or IPv6 TCP with complete headers (or a message that is no readable
// packet) is dropped by its id with a throttled Warning; only a failure of the queue socket itself
// leaves the event loop.
// A packet's headers and attributes are read in place from the link's receive buffer; once warm, the
// receive path makes no heap allocation.
class packet_interceptor_t : private netlink::async::link_t::delegate_t {
public:
  struct packet_entry_t;

private:
  using entry_ptr_t = std::shared_ptr<packet_entry_t>;
  using pending_list_t = std::list<entry_ptr_t, pooled_allocator_t<entry_ptr_t>>;

public:
  // One pending packet, owned by the pending list; the delegate holds only a weak handle to it.
  struct packet_entry_t {
    pending_list_t::iterator position;
    std::uint32_t packet_id = 0; // as received (network byte order), written back unchanged
  };

  // A link-layer address as text: up to eight two-digit lower-case hexadecimal groups joined by ":"
  // (kept inline so that reading it allocates nothing).
  class hw_addr_t {
  public:
    static constexpr std::size_t max_bytes = 8;
    hw_addr_t() noexcept = default;
    explicit hw_addr_t(const std::uint8_t *bytes, std::size_t count) noexcept;
    std::string_view view() const noexcept { return {text_.data(), size_}; }
    std::string str() const { return std::string(view()); }
    bool operator==(std::string_view other) const noexcept { return view() == other; }

  private:
    std::array<char, max_bytes * 3> text_{};
    std::size_t size_ = 0;
  };

  // The packet's metadata; each field is present only when the kernel sent its attribute.
  struct packet_attribs_t {
    std::optional<std::uint32_t> mark;
    std::optional<hw_addr_t> hw_addr;
    std::optional<std::uint32_t> indev;  // index of the incoming interface
    std::optional<std::uint32_t> outdev; // index of the outgoing interface
    std::optional<std::uint64_t> timestamp_sec;
    std::optional<std::uint64_t> timestamp_usec;
    std::optional<std::uint32_t> uid; // owner of the sending local socket
    std::optional<std::uint32_t> gid;
  };

  class delegate_t {
  public:
    // One queued packet. The header views point into the receive buffer and are valid only during the
    // call; the entry handle is what a verdict is given for, now or later.
    virtual void packet_intercepted(const fw::net::ip_header_t &ip, const fw::net::tcp_header_t &tcp,
                                    const packet_attribs_t &attribs, std::weak_ptr<packet_entry_t> entry) = 0;
    // The queue limit pushed the packet out (it was dropped); the handle has expired and serves only to
    // recognise the packet, by owner (std::owner_less).
    virtual void packet_pushed_out(const std::weak_ptr<packet_entry_t> &) {}

  protected:
    ~delegate_t() = default;
  };

  // Makes the socket of a queue: a blocking netlink socket (the factory's; by default NETLINK_NETFILTER).
  using socket_factory_t = std::function<netlink::socket_t()>;

  // Opens and configures the socket of queue queue_number with a kernel queue of queue_length packets
  // and returns its descriptor. A system error when the kernel refuses (EPERM: another socket holds the
  // queue). A kernel without uid/gid reporting (EOPNOTSUPP) gets the configuration once more without it.
  static fw::util::scoped_fd_t open_queue(std::uint16_t queue_number, std::uint32_t queue_length,
                                          const socket_factory_t &factory = {});

  // Nothing is received until start.
  packet_interceptor_t(std::unique_ptr<netlink::async::link_t> link, std::uint16_t queue_number,
                       std::uint32_t queue_limit);
  // Closes the queue; pending packets get no verdict from here.
  ~packet_interceptor_t();
  packet_interceptor_t(const packet_interceptor_t &) = delete;
  packet_interceptor_t &operator=(const packet_interceptor_t &) = delete;

  void start(delegate_t &delegate);

  // Verdicts. Nothing is sent when the entry no longer exists (pushed out by the queue limit, or the
  // interceptor is gone).
  void accept(const std::weak_ptr<packet_entry_t> &entry);
  void drop(const std::weak_ptr<packet_entry_t> &entry);
  // The packet passes the kernel's hook again carrying the new mark.
  void repeat(const std::weak_ptr<packet_entry_t> &entry, std::uint32_t mark);

  std::uint16_t queue_number() const noexcept { return queue_number_; }
  std::uint32_t queue_limit() const noexcept { return queue_limit_; }
  std::size_t pending_count() const noexcept { return pending_.size(); }

private:
  void on_multipart_begin() override {}
  void on_multipart_end() override {}
  void on_message(std::uint16_t type, const std::uint8_t *payload, std::size_t length) override;
  void on_error(const boost::system::error_code &error) override;

  void verdict(const std::weak_ptr<packet_entry_t> &handle, std::uint32_t verdict, const std::uint32_t *mark);
  void send_verdict(std::uint32_t packet_id, std::uint32_t verdict, const std::uint32_t *mark);

  std::unique_ptr<netlink::async::link_t> link_;
  std::uint16_t queue_number_;
  std::uint32_t queue_limit_;
  // Throttle of the queue-limit line.
  bool push_out_logged_ = false;
  std::chrono::steady_clock::time_point last_push_out_log_;
  std::uint64_t suppressed_push_outs_ = 0;
  fw::util::log_throttle_t malformed_log_;
  delegate_t *delegate_ = nullptr;
  std::shared_ptr<pooled_allocator_t<entry_ptr_t>::resource_t> pool_;
  pending_list_t pending_;
};

} // namespace fw::linux::nfqueue
