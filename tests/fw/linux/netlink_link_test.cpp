// The asynchronous link against a user-space netlink peer that plays the kernel.

#include <gtest/gtest.h>

#include <functional>

#include <boost/asio/io_context.hpp>

#include "fw/linux/netlink/async/link.hpp"
#include "tests/support/netlink_peer.hpp"

using fw::linux::netlink::async::link_t;
using tests::netlink::bytes_t;
using tests::netlink::concat;
using tests::netlink::error_message;
using tests::netlink::message;

namespace {

constexpr std::uint16_t multi = 2;

// Records every delegate call as a line; an optional hook runs after each message.
struct recorder_t : link_t::delegate_t {
  std::vector<std::string> calls;
  std::function<void()> after_message;

  void on_multipart_begin() override { calls.push_back("begin"); }
  void on_multipart_end() override { calls.push_back("end"); }
  void on_message(std::uint16_t type, const std::uint8_t *payload, std::size_t length) override {
    calls.push_back("message " + std::to_string(type) + " " + std::to_string(length) +
                    (length ? " " + std::to_string(payload[0]) : ""));
    if (after_message) after_message();
  }
  void on_error(const boost::system::error_code &) override { calls.push_back("error"); }
};

struct fixture_t {
  boost::asio::io_context io;
  tests::netlink::endpoint_t kernel; // the peer playing the kernel
  std::uint32_t link_port = 0;
  std::unique_ptr<link_t> link;
  recorder_t delegate;

  fixture_t() {
    tests::netlink::endpoint_t own;
    link_port = own.port;
    link = std::make_unique<link_t>(io, own.take(), kernel.port);
    link->start(delegate);
  }
  void answer(const bytes_t &datagram) { kernel.send_to(link_port, datagram); }
  // Runs the loop until the expected number of delegate calls was made.
  void run_until_calls(std::size_t n) {
    while (delegate.calls.size() < n && io.run_one_for(std::chrono::seconds(5)) > 0) {
    }
  }
  void settle() { io.run_for(std::chrono::milliseconds(50)); }
};

} // namespace

TEST(NetlinkLink, TwoRequestsInFlightAnsweredInOneDatagram) {
  fixture_t f;
  std::vector<std::string> results;
  f.link->send(0x10, bytes_t{1}, [&](const boost::system::error_code &e) { results.push_back("first " + std::to_string(e.value())); });
  f.link->send(0x11, bytes_t{2, 2}, [&](const boost::system::error_code &e) { results.push_back("second " + std::to_string(e.value())); });
  f.link->send(0x12, bytes_t{}, {}, 0x300);
  f.io.run_for(std::chrono::milliseconds(20));

  // Written in the order of their sequence numbers, with the flags the handlers ask for.
  EXPECT_EQ(f.kernel.receive(), message(0x10, 1 | 4, {1}, 0, false));
  EXPECT_EQ(f.kernel.receive(), message(0x11, 1 | 4, {2, 2}, 1, false));
  EXPECT_EQ(f.kernel.receive(), message(0x12, 1 | 0x300, {}, 2, false));

  // Answers in reverse order, in one datagram, plus an acknowledgement nobody waits for.
  f.answer(concat({error_message(-17, 1), error_message(0, 0), error_message(0, 99)}));
  while (results.size() < 2 && f.io.run_one_for(std::chrono::seconds(5)) > 0) {
  }
  EXPECT_EQ(results, (std::vector<std::string>{"second 17", "first 0"}));
  f.settle();
  EXPECT_TRUE(f.delegate.calls.empty());
  EXPECT_FALSE(f.link->stopped());
}

TEST(NetlinkLink, DelegateThatStopsOrDestroysTheLinkEndsTheWalk) {
  {
    fixture_t f;
    f.delegate.after_message = [&] { f.link->stop(); };
    f.answer(concat({message(0x18, 0, {1}), message(0x18, 0, {2})}));
    f.run_until_calls(1);
    f.settle();
    EXPECT_EQ(f.delegate.calls, (std::vector<std::string>{"message 24 1 1"}));
    EXPECT_TRUE(f.link->stopped());
  }
  {
    fixture_t f;
    f.delegate.after_message = [&] { f.link.reset(); };
    f.answer(concat({message(0x18, multi, {1}), message(0x18, multi, {2})}));
    f.run_until_calls(2);
    f.settle();
    EXPECT_EQ(f.delegate.calls, (std::vector<std::string>{"begin", "message 24 1 1"}));
  }
}
