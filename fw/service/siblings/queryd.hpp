#pragma once

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "fw/hubd/tie.hpp"
#include "fw/queryd/queryd.hpp"
#include "fw/util/service.hpp"
#include "fw/util/stream_socket.hpp"
#include "mv/util/callback_wrapper.hpp"

namespace fw::service {

// Owns the QueryD client and gives it its connections: the socket path comes from HubD, then a
// unix-domain stream socket is connected to it on the spot.
class queryd_t : public fw::util::service_t, public fw::queryd::queryd_t::link_provider_t {
public:
  queryd_t(boost::asio::io_context &io, fw::hubd::tie_t &hubd);
  ~queryd_t() override;

  fw::queryd::queryd_t &client() noexcept { return *client_; }

  void get_link(handler_t handler) override;

  // Connects a unix-domain stream socket to the path, synchronously and without waiting for QueryD to
  // accept (a full queue of connections fails with EAGAIN). Throws ENAMETOOLONG for a path above 107
  // bytes and "Cannot connect to <path>" with the system error when the connect fails.
  static std::unique_ptr<fw::util::stream_socket_t> connect(boost::asio::io_context &io, const std::string &path);

private:
  boost::asio::io_context &io_;
  fw::hubd::tie_t &hubd_;
  mv::util::callback_wrapper_t alive_;
  std::unique_ptr<fw::queryd::queryd_t> client_;
};

} // namespace fw::service
