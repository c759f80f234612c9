// The HubD tie reading whatever HubD sends: frames are parsed and matched to open requests; anything
// malformed, unasked or unknown ends the tie once, with one of its exit statuses, and the
// tie stays safe to use afterwards.

#include <chrono>
#include <exception>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "fw/util/configuration.hpp"
#include "app/exit_status.hpp"
#include "fw/hubd/tie.hpp"
#include "mv/util/exceptions.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/fuzz_target.hpp"

namespace {

struct delegate_t : fw::hubd::tie_t::delegate_t {
  int failures = 0;
  int status = 0;
  void on_error(std::exception_ptr error) override {
    ++failures;
    status = fw::app::exit_status_of(mv::util::error_code_of(error));
    // The application logs this text; building it must not fail either.
    FUZZ_CHECK(!mv::util::describe_exception(error).empty());
  }
};

} // namespace

FUZZ_TARGET(hubd_tie)(const std::uint8_t *data, std::size_t size) {
  tests::fuzz::quiet_log();
  boost::asio::io_context io;
  auto record = std::make_shared<tests::fuzz::memory_stream_t::record_t>();
  record->input = data;
  record->input_size = size;
  delegate_t delegate;
  bool suspended = false;
  int configs = 0, vettd = 0, queryd = 0;
  {
    fw::hubd::tie_t tie(delegate, std::make_unique<tests::fuzz::memory_stream_t>(io.get_executor(), record));
    // What the daemon has open at start-up and later: two configuration requests (start-up and a
    // hangup), one request for each socket path.
    const auto on_config = [&](const fw::configuration_t &config, std::uint32_t revision) {
      FUZZ_CHECK(delegate.failures == 0);
      ++configs;
      mv::RuvidOrederidAppInfo info;
      info.set_vettd_state(mv::EC_OK);
      tie.send_info(info, revision);
      (void)config.ByteSizeLong();
    };
    tie.get_config(on_config);
    tie.get_config(on_config);
    tie.get_vettd([&](const boost::system::error_code &, const std::string &) {
      FUZZ_CHECK(delegate.failures == 0);
      ++vettd;
      // The tie manager asks again when VettD cannot be offered.
      if (vettd == 1) tie.get_vettd([&](const boost::system::error_code &, const std::string &) { ++vettd; });
    });
    tie.get_queryd([&](const boost::system::error_code &, const std::string &) {
      FUZZ_CHECK(delegate.failures == 0);
      ++queryd;
    });
    try {
      io.run_for(std::chrono::seconds(10));
      FUZZ_CHECK(io.stopped());
    } catch (mv::ErrorCode code) {
      // Thrown as a value through the loop: only the suspension does that.
      FUZZ_CHECK(code == mv::EC_APP_SUSPENDED);
      suspended = true;
    }
    // Requests after the failure go nowhere and call nothing.
    tie.get_config(on_config);
    tie.send_info(mv::RuvidOrederidAppInfo(), 1);
  }
  FUZZ_CHECK(configs <= 2 && vettd <= 2 && queryd <= 1);
  if (!suspended) {
    // The stream always ends, so the tie always fails in the end, once.
    FUZZ_CHECK(delegate.failures == 1);
    FUZZ_CHECK(delegate.status == mv::EC_UNEXPECTED_MESSAGE || delegate.status == mv::EC_PROTOCOL_VIOLATION ||
               delegate.status == mv::EC_UNEXPECTED_ERROR);
  }
  return 0;
}
