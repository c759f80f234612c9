// Counts heap allocations on the interceptor's receive path, from the kernel's queue to the delegate.
// (A program of its own: it replaces the global allocation functions.)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "fw/linux/nfqueue/packet_interceptor.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/tcp.hpp"

namespace {
std::atomic<bool> counting{false};
std::atomic<std::size_t> allocations{0};

void *counted(std::size_t size, std::size_t alignment = 0, bool nothrow = false) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  if (size == 0) size = 1;
  void *p = alignment > alignof(std::max_align_t) ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                                                   : std::malloc(size);
  if (!p && !nothrow) throw std::bad_alloc();
  return p;
}
} // namespace

void *operator new(std::size_t size) { return counted(size); }
void *operator new[](std::size_t size) { return counted(size); }
void *operator new(std::size_t size, std::align_val_t a) { return counted(size, static_cast<std::size_t>(a)); }
void *operator new[](std::size_t size, std::align_val_t a) { return counted(size, static_cast<std::size_t>(a)); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept { return counted(size, 0, true); }
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept { return counted(size, 0, true); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }

using fw::linux::nfqueue::packet_interceptor_t;

namespace {

struct keeper_t : packet_interceptor_t::delegate_t {
  std::vector<std::weak_ptr<packet_interceptor_t::packet_entry_t>> entries;
  std::size_t mark_seen = 0;
  void packet_intercepted(const fw::net::ip_header_t &ip, const fw::net::tcp_header_t &tcp,
                          const packet_interceptor_t::packet_attribs_t &attribs,
                          std::weak_ptr<packet_interceptor_t::packet_entry_t> entry) override {
    if (attribs.uid && tcp.is_syn() && ip.header_length() == 20) ++mark_seen;
    entries.push_back(std::move(entry)); // reserved: no allocation
  }
};

} // namespace

TEST(NfqueueReceivePath, QueuedPacketsCostNoHeapAllocation) {
  tests::enter_fresh_netns();
  constexpr std::size_t connections = 64;
  boost::asio::io_context io;
  keeper_t keeper;
  keeper.entries.reserve(4 * connections);
  packet_interceptor_t interceptor(
      std::make_unique<fw::linux::netlink::async::link_t>(io, packet_interceptor_t::open_queue(9, 1024)), 9, 768);
  interceptor.start(keeper);
  tests::shell("iptables-legacy -A OUTPUT -p tcp --syn -j NFQUEUE --queue-num 9");

  const auto server = tests::tcp::listen_on(6000, 2 * connections);
  const sockaddr_in address = tests::tcp::loopback(6000);
  std::vector<fw::util::scoped_fd_t> clients;
  for (std::size_t i = 0; i < connections; ++i) {
    clients.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    ::connect(clients.back().get(), reinterpret_cast<const sockaddr *>(&address), sizeof address);
  }

  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  // The first packet warms the event loop's handler memory.
  while (keeper.entries.empty() && std::chrono::steady_clock::now() < until) io.run_one_for(std::chrono::milliseconds(100));
  counting = true;
  while (keeper.entries.size() < connections && std::chrono::steady_clock::now() < until)
    io.run_one_for(std::chrono::milliseconds(100));
  counting = false;
  ASSERT_GE(keeper.entries.size(), connections);
  EXPECT_EQ(allocations.load(), 0u) << "heap allocations while receiving " << keeper.entries.size() - 1 << " packets";
  EXPECT_EQ(keeper.mark_seen, keeper.entries.size());

  for (auto &entry : keeper.entries) interceptor.accept(entry);
  io.run_for(std::chrono::milliseconds(200));
  EXPECT_EQ(interceptor.pending_count(), 0u);
}
