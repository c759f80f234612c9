#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include "fw/net/endpoint.hpp"

#include "fw/linux/netlink/socket.hpp"
#include "fw/util/service.hpp"

namespace fw::service {

// Finds the process that owns the local TCP socket of a connection: the socket's inode comes from the
// kernel's socket diagnostics (or /proc/net/tcp), then the descriptors of all processes under /proc
// are searched for it. The blocking work runs on a worker thread of its own; requests are batched
// and every answer is posted to the event loop.
class process_finder_t : public fw::util::service_t {
public:
  using endpoint_t = fw::net::endpoint_t;
  // (client endpoint, server endpoint), ordered by client then server.
  using key_t = std::pair<endpoint_t, endpoint_t>;
  // Either a null error and the PID, or an error and PID 0.
  using handler_t = std::function<void(std::exception_ptr error, int pid)>;

  static constexpr std::size_t max_batch = 128;
  // Requests waiting for the worker; more fail at once. Above what the sessions of three full queues
  // (3 x 768) ask for, so it bites only when the worker falls behind requests of sessions long gone.
  static constexpr std::size_t max_requests = 4096;

  // A source of socket inodes.
  class inode_getter_t {
  public:
    virtual ~inode_getter_t() = default;
    // Used in messages.
    virtual std::string name() const = 0;
    // One inode per key, in the order of the keys, 0 where no socket was found. The keys are sorted.
    virtual std::vector<std::uint32_t> get_inodes(const std::vector<key_t> &keys) = 0;
  };

  // Asks the kernel over NETLINK_SOCK_DIAG: one dump, filtered to the keys, per batch.
  class netlink_inode_getter_t : public inode_getter_t {
  public:
    class not_supported_t : public std::runtime_error {
    public:
      using std::runtime_error::runtime_error;
    };

    // Opens the socket and probes the interface; not_supported_t when the kernel lacks it.
    netlink_inode_getter_t();
    std::string name() const override { return "netlink socket"; }
    std::vector<std::uint32_t> get_inodes(const std::vector<key_t> &keys) override;

  private:
    fw::linux::netlink::socket_t socket_;
  };

  // Reads the kernel's text table of TCP sockets.
  class proc_inode_getter_t : public inode_getter_t {
  public:
    explicit proc_inode_getter_t(std::string path = "/proc/net/tcp");
    std::string name() const override { return "/proc/net/tcp"; }
    std::vector<std::uint32_t> get_inodes(const std::vector<key_t> &keys) override;

  private:
    std::string path_;
  };

  // Chooses the netlink getter, or /proc/net/tcp where the kernel lacks socket diagnostics.
  explicit process_finder_t(boost::asio::io_context &io);
  // Uses the given getter.
  process_finder_t(boost::asio::io_context &io, std::unique_ptr<inode_getter_t> getter);
  // Stops and joins the worker; queued requests are dropped without their handlers being called.
  ~process_finder_t() override;

  // Event-loop thread only. Queues the request; the handler later runs on the event loop. With
  // max_requests waiting, the handler gets an error instead (posted as well).
  void find_pid(const endpoint_t &client, const endpoint_t &server, handler_t handler);

  const inode_getter_t &getter() const noexcept { return *getter_; }

  // The walk that maps socket inodes to processes: calls found(inode, pid) for every socket descriptor
  // of every process under /proc, in /proc's order, until it returns true. Processes that have gone or
  // whose descriptors cannot be looked at are skipped; any other failure raises.
  static void scan_socket_owners(const std::function<bool(std::uint32_t inode, int pid)> &found);

private:
  struct request_t {
    key_t key;
    handler_t handler;
  };

  void run() noexcept;
  void serve(std::vector<request_t> batch);
  void answer(handler_t &handler, std::exception_ptr error, int pid);

  boost::asio::io_context &io_;
  std::thread worker_;
  std::mutex lock_;
  bool stop_ = false;
  std::list<request_t> requests_;
  std::condition_variable wake_;
  std::unique_ptr<inode_getter_t> getter_;
};

} // namespace fw::service
