#include "fw/queryd/queryd.hpp"

#include <cerrno>
#include <limits>
#include <stdexcept>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "fw/queryd/lookup_type.hpp"
#include "mv/log/log.hpp"
#include "mv/util/error_code.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::queryd {

struct queryd_t::lookup_job_t : job_t {
  lookup_job_t(lp::LookupType type, std::string tag, params_t params, lookup_handler_t handler)
      : job_t(type, std::move(tag), std::move(params)), handler(std::move(handler)) {}
  void fill(lp::ClientMessage &message) const override { message.set_tag(lp::ClientMessage::LOOKUP_REQUEST); }
  void fail(std::exception_ptr error) override { handler(std::move(error), {}); }

  lookup_handler_t handler;
};

struct queryd_t::check_job_t : job_t {
  check_job_t(lp::LookupType type, std::string tag, std::string value, params_t params, check_handler_t handler)
      : job_t(type, std::move(tag), std::move(params)), value(std::move(value)), handler(std::move(handler)) {}
  void fill(lp::ClientMessage &message) const override {
    message.set_tag(lp::ClientMessage::CHECK_REQUEST);
    message.set_check(value);
  }
  void fail(std::exception_ptr error) override { handler(std::move(error), false); }

  std::string value;
  check_handler_t handler;
};

namespace {

std::exception_ptr unexpected_type() { return std::make_exception_ptr(std::runtime_error("Unexpected lookup type")); }

// QueryD's own failure report; EC_OK reports no failure at all.
std::exception_ptr exception_of(const mv::Error &error) {
  if (error.code() == mv::EC_OK) return nullptr;
  return std::make_exception_ptr(mv::cf_proto_exception_t(error.code(), error.what()));
}

} // namespace

queryd_t::queryd_t(boost::asio::io_context &io, link_provider_t &provider,
                   std::chrono::steady_clock::duration idle_timeout,
                   std::chrono::steady_clock::duration lookup_timeout)
    : io_(io), provider_(provider), idle_timeout_(idle_timeout), lookup_timeout_(lookup_timeout), timer_(io) {}

queryd_t::~queryd_t() {
  // Pending jobs go without their handlers being called; nothing wrapped so far runs any more.
  abandon();
  timer_alive_.abandon();
  link_.reset();
  jobs_.clear();
}

void queryd_t::lookup(const std::string &type, const std::string &tag, const params_t &params,
                      lookup_handler_t handler) {
  const auto t = lookup_type_of(type);
  if (!t) {
    boost::asio::post(io_, wrap([handler = std::move(handler)]() mutable { handler(unexpected_type(), {}); }));
    return;
  }
  submit(std::make_unique<lookup_job_t>(*t, tag, params, std::move(handler)));
}

void queryd_t::check(const std::string &type, const std::string &tag, const std::string &value,
                     const params_t &params, check_handler_t handler) {
  const auto t = lookup_type_of(type);
  if (!t) {
    boost::asio::post(io_, wrap([handler = std::move(handler)]() mutable { handler(unexpected_type(), false); }));
    return;
  }
  submit(std::make_unique<check_job_t>(*t, tag, value, params, std::move(handler)));
}

void queryd_t::submit(std::unique_ptr<job_t> job) {
  const std::uint32_t serial = allocate_serial();
  job->id = next_id_++;
  job->deadline.emplace(io_);
  job->deadline->expires_after(lookup_timeout_);
  job->deadline->async_wait(wrap([this, serial, id = job->id](const boost::system::error_code &ec) {
    if (!ec) on_deadline(serial, id);
  }));
  const job_t &stored = *jobs_.emplace(serial, std::move(job)).first->second;
  if (link_) return send(serial, stored);
  if (link_requested_) return;
  link_requested_ = true;
  MV_LOG(Debug, "QueryD: requesting a connection");
  provider_.get_link(wrap([this](std::exception_ptr error, std::unique_ptr<fw::util::stream_socket_t> stream) {
    on_link(std::move(error), std::move(stream));
  }));
}

// The lowest serial at or after the candidate that no pending job holds. The candidate moves past the
// held serials it meets but stays on the one returned, so a serial freed by an answer is used again.
std::uint32_t queryd_t::allocate_serial() {
  if (jobs_.size() >= std::numeric_limits<std::uint32_t>::max()) throw std::runtime_error("Job serial number overflow");
  auto it = jobs_.lower_bound(next_serial_);
  while (it != jobs_.end() && it->first == next_serial_) {
    ++it;
    if (++next_serial_ == 0) it = jobs_.begin();
  }
  return next_serial_;
}

void queryd_t::send(std::uint32_t serial, const job_t &job) {
  lp::ClientMessage message;
  job.fill(message);
  message.set_serial(serial);
  message.set_lookup_type(job.type);
  message.set_lookup_tag(job.tag);
  for (const auto &[key, value] : job.params) {
    if (key == "user")
      message.set_user(value);
    else if (key == "domain")
      message.set_domain(value);
  }
  link_->send(message);
}

void queryd_t::on_link(std::exception_ptr error, std::unique_ptr<fw::util::stream_socket_t> stream) {
  link_requested_ = false;
  if (!error && !stream) error = std::make_exception_ptr(std::runtime_error("no connection"));
  if (error) {
    MV_LOG(Warning, "QueryD: " + mv::util::describe_exception(error));
    return fail_all(std::move(error));
  }
  link_ = std::make_unique<ipc_t>(*this, std::move(stream));
  arm_timer();
  for (const auto &[serial, job] : jobs_)
    if (!job->timed_out) send(serial, *job);
}

void queryd_t::on_deadline(std::uint32_t serial, std::uint64_t id) {
  const auto it = jobs_.find(serial);
  if (it == jobs_.end() || it->second->id != id || it->second->timed_out) return;
  MV_LOG(Debug, "QueryD: request " + std::to_string(serial) + " unanswered; failing it");
  auto handler_error = std::make_exception_ptr(
      boost::system::system_error(boost::system::error_code(ETIMEDOUT, boost::system::system_category()),
                                  "QueryD: no answer"));
  if (link_) {
    // Sent: the serial stays taken until the answer comes or the connection goes.
    it->second->timed_out = true;
    ++timed_out_;
    it->second->fail(handler_error);
    if (timed_out_ >= max_unanswered)
      on_link_error(std::make_exception_ptr(
          std::runtime_error("QueryD: " + std::to_string(timed_out_) + " requests left unanswered")));
    return;
  }
  auto job = std::move(it->second);
  jobs_.erase(it);
  job->fail(handler_error);
}

// Each arming starts a new period from now and kills the previous wait's handler.
void queryd_t::arm_timer() {
  timer_alive_.abandon();
  const auto now = std::chrono::steady_clock::now();
  const auto latest = std::chrono::steady_clock::time_point::max();
  timer_.expires_at(idle_timeout_ > latest - now ? latest : now + idle_timeout_);
  timer_.async_wait(timer_alive_.wrap([this](const boost::system::error_code &ec) { on_timer(ec); }));
}

void queryd_t::on_timer(const boost::system::error_code &ec) {
  if (ec == boost::asio::error::operation_aborted) return;
  if (ec) throw boost::system::system_error(ec, "Queryd: idle timer");
  if (jobs_.size() > timed_out_) return arm_timer();
  MV_LOG(Info, "QueryD: closing the idle connection");
  drop_link();
}

void queryd_t::drop_link() {
  timer_alive_.abandon();
  timer_.cancel();
  link_.reset();
  // No late answer can come any more.
  std::erase_if(jobs_, [](const auto &entry) { return entry.second->timed_out; });
  timed_out_ = 0;
}

// Every pending job fails, in serial order. Handlers may submit new jobs; those wait for a new link.
void queryd_t::fail_all(std::exception_ptr error) {
  auto jobs = std::move(jobs_);
  jobs_.clear();
  timed_out_ = 0;
  for (auto &[serial, job] : jobs)
    if (!job->timed_out) job->fail(error);
}

template <class Job>
std::optional<decltype(Job::handler)> queryd_t::take_handler(std::uint32_t serial, const char *tag_name) {
  const auto it = jobs_.find(serial);
  if (it == jobs_.end()) {
    MV_LOG(Debug, "QueryD: answer with serial " + std::to_string(serial) + " matches no pending request, ignored");
    return std::nullopt;
  }
  if (it->second->timed_out) {
    MV_LOG(Debug, "QueryD: answer with serial " + std::to_string(serial) + " came after the time limit, ignored");
    jobs_.erase(it);
    --timed_out_;
    return std::nullopt;
  }
  auto *job = dynamic_cast<Job *>(it->second.get());
  if (!job) {
    on_link_error(std::make_exception_ptr(mv::cf_proto_exception_t(
        mv::EC_PROTOCOL_VIOLATION, std::string("Wrong response from Queryd: unexpected ") + tag_name)));
    return std::nullopt;
  }
  auto handler = std::move(job->handler);
  jobs_.erase(it);
  return handler;
}

void queryd_t::on_lookup_response(std::uint32_t serial, std::vector<std::string> data) {
  if (auto handler = take_handler<lookup_job_t>(serial, "LOOKUP_RESPONSE")) (*handler)(nullptr, std::move(data));
}

void queryd_t::on_lookup_error(std::uint32_t serial, const mv::Error &error) {
  if (auto handler = take_handler<lookup_job_t>(serial, "LOOKUP_RESPONSE")) (*handler)(exception_of(error), {});
}

void queryd_t::on_check_response(std::uint32_t serial, bool result) {
  if (auto handler = take_handler<check_job_t>(serial, "CHECK_RESPONSE")) (*handler)(nullptr, result);
}

void queryd_t::on_check_error(std::uint32_t serial, const mv::Error &error) {
  if (auto handler = take_handler<check_job_t>(serial, "CHECK_RESPONSE")) (*handler)(exception_of(error), false);
}

void queryd_t::on_link_error(std::exception_ptr error) {
  MV_LOG(Warning, "QueryD: " + mv::util::describe_exception(error));
  drop_link();
  fail_all(std::move(error));
}

} // namespace fw::queryd
