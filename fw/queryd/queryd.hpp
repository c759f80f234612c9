#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "fw/queryd/ipc.hpp"
#include "fw/util/stream_socket.hpp"
#include "mv/util/callback_wrapper.hpp"

namespace fw::queryd {

// The client of QueryD. Every request (job) gets a serial number, the lowest free one at or after the
// last one handed out; jobs submitted while no connection exists wait for one, and a single connection
// request serves all of them. Answers are matched to jobs by serial. The connection is closed when the
// idle timer, which runs in periods from the moment of connecting, expires with no job pending.
//
// A job unanswered after the lookup time limit fails with ETIMEDOUT ("QueryD: no answer"); its serial
// stays taken while the connection lives, so that a late answer is recognised and ignored. A
// connection that leaves max_unanswered jobs without an answer counts as failed.
//
// Handlers are never called inside lookup() or check(). Destroying the client drops pending jobs
// without calling their handlers.
class queryd_t : public ipc_t::delegate_t, private mv::util::callback_wrapper_t {
public:
  using params_t = std::vector<std::pair<std::string, std::string>>;
  using lookup_handler_t = std::function<void(std::exception_ptr, std::vector<std::string>)>;
  using check_handler_t = std::function<void(std::exception_ptr, bool)>;

  // Gives the client a connected stream to QueryD.
  class link_provider_t {
  public:
    using handler_t = std::function<void(std::exception_ptr, std::unique_ptr<fw::util::stream_socket_t>)>;
    virtual void get_link(handler_t handler) = 0;

  protected:
    ~link_provider_t() = default;
  };

  static constexpr std::chrono::seconds default_idle_timeout{180};
  // Lists answer in milliseconds; a hook waiting this long holds its connection's SYN longer than a
  // client usually waits for its first retransmission to be answered.
  static constexpr std::chrono::seconds default_lookup_timeout{30};
  static constexpr std::size_t max_unanswered = 1024;

  queryd_t(boost::asio::io_context &io, link_provider_t &provider,
           std::chrono::steady_clock::duration idle_timeout = default_idle_timeout,
           std::chrono::steady_clock::duration lookup_timeout = default_lookup_timeout);
  ~queryd_t() override;
  queryd_t(const queryd_t &) = delete;
  queryd_t &operator=(const queryd_t &) = delete;

  // Asks the list type@tag for its data. Parameters other than "user" and "domain" are not sent.
  // Throws "Job serial number overflow" when every serial is in use.
  void lookup(const std::string &type, const std::string &tag, const params_t &params, lookup_handler_t handler);
  // Asks whether the value is on the list type@tag.
  void check(const std::string &type, const std::string &tag, const std::string &value, const params_t &params,
             check_handler_t handler);

  bool connected() const noexcept { return link_ != nullptr; }
  std::size_t pending() const noexcept { return jobs_.size(); }

private:
  struct job_t {
    job_t(lp::LookupType type, std::string tag, params_t params)
        : type(type), tag(std::move(tag)), params(std::move(params)) {}
    virtual ~job_t() = default;
    virtual void fill(lp::ClientMessage &message) const = 0;
    virtual void fail(std::exception_ptr error) = 0;

    lp::LookupType type;
    std::string tag;
    params_t params;
    std::uint64_t id = 0; // tells a job from a later one under the same serial
    std::optional<boost::asio::steady_timer> deadline;
    bool timed_out = false; // its handler has had the time-out; waits only for the late answer
  };
  struct lookup_job_t;
  struct check_job_t;

  void submit(std::unique_ptr<job_t> job);
  std::uint32_t allocate_serial();
  void send(std::uint32_t serial, const job_t &job);
  void on_link(std::exception_ptr error, std::unique_ptr<fw::util::stream_socket_t> stream);
  void arm_timer();
  void on_timer(const boost::system::error_code &ec);
  void on_deadline(std::uint32_t serial, std::uint64_t id);
  void drop_link();
  void fail_all(std::exception_ptr error);
  // Takes the job an answer is for out of the table and returns its handler. None when the serial
  // matches no pending job (the answer is ignored) or a job of the other kind (the link fails with
  // "unexpected " + tag_name).
  template <class Job> std::optional<decltype(Job::handler)> take_handler(std::uint32_t serial, const char *tag_name);

  void on_lookup_response(std::uint32_t serial, std::vector<std::string> data) override;
  void on_lookup_error(std::uint32_t serial, const mv::Error &error) override;
  void on_check_response(std::uint32_t serial, bool result) override;
  void on_check_error(std::uint32_t serial, const mv::Error &error) override;
  void on_link_error(std::exception_ptr error) override;

  boost::asio::io_context &io_;
  link_provider_t &provider_;
  std::chrono::steady_clock::duration idle_timeout_;
  std::chrono::steady_clock::duration lookup_timeout_;
  boost::asio::steady_timer timer_;
  // Guards the idle timer's wait alone: renewing it must not kill link requests or posted failures.
  mv::util::callback_wrapper_t timer_alive_;
  std::unique_ptr<ipc_t> link_;
  std::map<std::uint32_t, std::unique_ptr<job_t>> jobs_;
  std::uint32_t next_serial_ = 0;
  std::uint64_t next_id_ = 0;
  std::size_t timed_out_ = 0; // jobs in the table that timed out
  bool link_requested_ = false;
};

} // namespace fw::queryd
