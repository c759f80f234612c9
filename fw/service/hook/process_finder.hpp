#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include "fw/net/endpoint.hpp"

#include "fw/linux/bpf/connect_recorder.hpp"
#include "fw/linux/netlink/socket.hpp"
#include "fw/util/service.hpp"

namespace fw::service {

// Finds the process that owns the local TCP socket (IPv4 or IPv6) of a connection: the socket's inode
// and cookie come from the kernel's socket diagnostics, one exact request per key (or from
// /proc/net/tcp and /proc/net/tcp6). The owner is the process that connect()ed the socket when BPF
// programs recorded it (connect_recorder_t) and that process still runs; otherwise the descriptors of
// all processes under /proc are searched for the inode. The blocking work runs on a worker thread of
// its own; requests are batched and every answer is posted to the event loop.
class process_finder_t : public fw::util::service_t {
public:
  using endpoint_t = fw::net::endpoint_t;
  // (client endpoint, server endpoint), ordered by client then server.
  using key_t = std::pair<endpoint_t, endpoint_t>;
  // Either a null error and the PID, or an error and PID 0.
  using handler_t = std::function<void(std::exception_ptr error, int pid)>;

  using connect_recorder_t = fw::linux::bpf::connect_recorder_t;

  static constexpr std::size_t max_batch = 128;
  // Requests waiting for the worker; more fail at once. Above what the sessions of three full queues
  // (3 x 768) ask for, so it bites only when the worker falls behind requests of sessions long gone.
  static constexpr std::size_t max_requests = 4096;
  // The environment variable that names the cgroup the BPF programs are attached to (unset: the cgroup
  // v2 root; empty: no programs, owners are searched for under /proc).
  static constexpr const char *cgroup_variable = "COM_MOVRI_BPF_CGROUP";

  // A local TCP socket as a getter finds it: inode 0 when there is none; cookie 0 when not known.
  struct socket_info_t {
    std::uint32_t inode = 0;
    std::uint64_t cookie = 0;
    friend bool operator==(const socket_info_t &, const socket_info_t &) = default;
  };

  // A source of socket inodes.
  class inode_getter_t {
  public:
    virtual ~inode_getter_t() = default;
    // Used in messages.
    virtual std::string name() const = 0;
    // One inode per key, in the order of the keys, 0 where no socket was found. The keys are sorted.
    virtual std::vector<std::uint32_t> get_inodes(const std::vector<key_t> &keys) = 0;
    // As get_inodes, with the cookies where the source knows them.
    virtual std::vector<socket_info_t> get_sockets(const std::vector<key_t> &keys);
  };

  // Asks the kernel over NETLINK_SOCK_DIAG: per key one exact request for an ESTABLISHED or SYN_SENT
  // socket (a socket found in any other state counts as none), the requests of a batch sent together;
  // keys without a socket are asked again once per interface, for sockets bound to one.
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
    std::vector<socket_info_t> get_sockets(const std::vector<key_t> &keys) override;
    // The former look-up: one dump over the whole TCP table, filtered to the (IPv4) keys
    // (kept for comparison in the benchmark).
    std::vector<std::uint32_t> dump_inodes(const std::vector<key_t> &keys);

  private:
    struct request_t {
      std::size_t key;        // index into the keys
      unsigned interface = 0; // index of the interface the socket is bound to, 0 for none
    };
    // Sends the requests in one datagram and reads their answers into found.
    void ask(const std::vector<key_t> &keys, std::span<const request_t> requests, std::vector<socket_info_t> &found);

    fw::linux::netlink::socket_t socket_;
    std::size_t requests_per_send_ = 1;
    std::uint32_t sequence_ = 0;
    std::vector<std::uint8_t> send_buffer_, receive_buffer_;
  };

  // Reads the kernel's text tables of TCP sockets (path, then path + "6" for IPv6 sockets and IPv6
  // sockets connected to IPv4-mapped addresses; a missing IPv6 table counts as empty).
  class proc_inode_getter_t : public inode_getter_t {
  public:
    explicit proc_inode_getter_t(std::string path = "/proc/net/tcp");
    std::string name() const override { return "/proc/net/tcp"; }
    std::vector<std::uint32_t> get_inodes(const std::vector<key_t> &keys) override;

  private:
    // Fills the inodes of keys found in one table; true when every key has one.
    bool scan_table(const std::string &path, bool v6, const std::vector<key_t> &keys, std::vector<std::uint32_t> &inodes,
                    std::size_t &remaining);

    std::string path_;
  };

  // Chooses the netlink getter, or /proc/net/tcp where the kernel lacks socket diagnostics, and the
  // BPF recorder for the cgroup that COM_MOVRI_BPF_CGROUP names.
  explicit process_finder_t(boost::asio::io_context &io);
  // Uses the given getter and recorder (none: every owner is searched for under /proc).
  process_finder_t(boost::asio::io_context &io, std::unique_ptr<inode_getter_t> getter,
                   std::unique_ptr<connect_recorder_t> recorder = nullptr);
  // Stops and joins the worker; queued requests are dropped without their handlers being called.
  ~process_finder_t() override;

  // Event-loop thread only. Queues the request; the handler later runs on the event loop. With
  // max_requests waiting, the handler gets an error instead (posted as well).
  void find_pid(const endpoint_t &client, const endpoint_t &server, handler_t handler);

  const inode_getter_t &getter() const noexcept { return *getter_; }
  const connect_recorder_t *recorder() const noexcept { return recorder_.get(); }

  // The recorder for the cgroup (none: the cgroup v2 root; empty: no recorder), or none when the
  // programs cannot be loaded or attached. Logs the choice at Debug.
  static std::unique_ptr<connect_recorder_t>
  choose_recorder(const std::optional<std::string> &cgroup,
                  std::span<const std::uint8_t> object = connect_recorder_t::embedded_object());
  // The value of COM_MOVRI_BPF_CGROUP, none when unset.
  static std::optional<std::string> cgroup_from_environment();
  // The PID the recorder holds for the socket when that process still runs (not a zombie); 0 otherwise.
  static int recorded_owner(const connect_recorder_t &recorder, std::uint64_t cookie);

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
  std::unique_ptr<connect_recorder_t> recorder_;
};

} // namespace fw::service
