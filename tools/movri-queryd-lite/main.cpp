// movri-queryd-lite: a QueryD that serves plain-text lists. See --help.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <variant>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>

#include "fw/queryd/lookup_type.hpp"
#include "fw/util/asio_stream_socket_wrapper.hpp"
#include "fw/util/basic_ipc_link.hpp"
#include "lists.hpp"
#include "mv/util/error_code.hpp"
#include "mv/util/exceptions.hpp"
#include "queryd_client_ipc.pb.h"

namespace {

constexpr const char *usage = R"(Usage: movri-queryd-lite --socket PATH [options] CONFIG

Plays QueryD, the suite's lookup daemon, for movri-firewall: listens on the unix-domain
stream socket PATH and answers lp.ClientMessage requests (framed as on every IPC link
of the suite) from lists read from plain-text files.

CONFIG names one list per line:

    # TYPE     TAG      FILE
    cidr       blocked  blocked-networks.txt
    regex      hosts    host-patterns.txt
    mask       names    /etc/movri/name-masks.txt
    allmatch   users    users.txt

TYPE is a lookup type name (ldap, ad, pq, sqlite, mysql, redis, allmatch, regex, cidr,
mask; case does not matter), TAG the name hooks use after the "@" ("cidr@blocked"), FILE
the list, relative to CONFIG's directory unless absolute. In a list file every line is one
entry; surrounding white space is dropped, and so are blank lines and lines starting
with "#".

Requests:
  lookup  answers the list's entries, in file order;
  check   answers whether the value is on the list:
            cidr      the value is an IPv4 or IPv6 address inside one of the networks
                      ("10.0.0.0/8", "2001:db8::/32"; a bare address is a single host);
                      a value that is no address answers EC_INVALID_ARGUMENT;
            regex     one of the ECMAScript regular expressions matches somewhere in the
                      value (anchor with ^ and $ for whole values);
            mask      one of the shell patterns (*, ?, [...]) matches the whole value;
            allmatch  and every other type: the value equals one of the entries.
A type@tag that CONFIG does not name answers an mv.Error with EC_NO_SUCH_ENTRY. The user
and domain of a request are printed but do not change the answer. A request that does
not parse or lacks serial, lookup_type or lookup_tag closes that client's connection.

Every request and its answer is printed on standard output.

Signals:
  SIGHUP          re-read CONFIG and the lists; on any error the lists in force stay.
  SIGTERM, SIGINT remove the socket and exit with status 0.

Options)";

void say(const std::string &text) { std::cout << "queryd-lite: " << text << std::endl; }

class server_t;

// One connected client.
class connection_t : private fw::util::ipc_link_t::delegate_t {
public:
  connection_t(server_t &server, std::unique_ptr<fw::util::stream_socket_t> stream, unsigned id);

private:
  void on_message(const std::uint8_t *data, std::uint32_t size) override;
  void on_error(std::exception_ptr error) override;
  void send(const lp::ServerMessage &message);

  server_t &server_;
  unsigned id_;
  std::unique_ptr<fw::util::ipc_link_t> link_;
};

class server_t {
public:
  server_t(boost::asio::io_context &io, std::string socket_path, std::string config_path, queryd_lite::lists_t lists)
      : io_(io), socket_path_(std::move(socket_path)), config_path_(std::move(config_path)), lists_(std::move(lists)),
        acceptor_(io), signals_(io, SIGHUP, SIGTERM, SIGINT) {}

  void run() {
    struct stat st {};
    if (::lstat(socket_path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(socket_path_.c_str());
    const boost::asio::local::stream_protocol::endpoint endpoint(socket_path_);
    acceptor_.open(endpoint.protocol());
    acceptor_.bind(endpoint);
    acceptor_.listen();
    say("serving " + std::to_string(lists_.size()) + " lists from " + config_path_);
    say("listening on " + socket_path_);
    accept();
    wait_signal();
    io_.run();
  }

  lp::ServerMessage answer(const lp::ClientMessage &request, std::string &report) const {
    lp::ServerMessage m;
    m.set_serial(request.serial());
    const bool lookup = request.tag() == lp::ClientMessage::LOOKUP_REQUEST;
    m.set_tag(lookup ? lp::ServerMessage::LOOKUP_RESPONSE : lp::ServerMessage::CHECK_RESPONSE);
    const std::string name = fw::queryd::lookup_type_name(request.lookup_type()) + "@" + request.lookup_tag();
    report = std::string(lookup ? "lookup " : "check ") + name;
    if (!lookup) report += " \"" + request.check() + "\"";
    if (request.has_user()) report += " user \"" + request.user() + "\"";
    if (request.has_domain()) report += " domain \"" + request.domain() + "\"";
    report += " serial " + std::to_string(request.serial()) + ": ";
    const auto it = lists_.find({request.lookup_type(), request.lookup_tag()});
    if (it == lists_.end()) {
      fail(m, mv::EC_NO_SUCH_ENTRY, "no list " + name, report);
      return m;
    }
    if (lookup) {
      for (const auto &line : it->second->lines()) m.add_data(line);
      report += std::to_string(m.data_size()) + " entries";
      return m;
    }
    try {
      m.set_result(it->second->check(request.check()));
      report += m.result() ? "true" : "false";
    } catch (const std::invalid_argument &e) {
      fail(m, mv::EC_INVALID_ARGUMENT, name + ": " + e.what(), report);
    }
    return m;
  }

  void remove(unsigned id) { connections_.erase(id); }

private:
  static void fail(lp::ServerMessage &m, mv::ErrorCode code, const std::string &what, std::string &report) {
    m.mutable_error()->set_code(code);
    m.mutable_error()->set_what(what);
    report += "error " + mv::error_code_name(code) + " " + what;
  }

  void accept() {
    acceptor_.async_accept([this](const boost::system::error_code &ec, boost::asio::local::stream_protocol::socket socket) {
      if (ec == boost::asio::error::operation_aborted) return;
      if (ec) {
        say("accept failed: " + ec.message());
      } else {
        const unsigned id = ++last_id_;
        say("client " + std::to_string(id) + " connected");
        connections_.emplace(id, std::make_unique<connection_t>(
                                     *this, std::make_unique<fw::util::asio_stream_socket_wrapper_t>(std::move(socket)), id));
      }
      accept();
    });
  }

  void wait_signal() {
    signals_.async_wait([this](const boost::system::error_code &ec, int signal) {
      if (ec) return;
      if (signal == SIGHUP) {
        auto loaded = queryd_lite::load_lists(config_path_);
        if (auto *error = std::get_if<std::string>(&loaded)) {
          say(*error);
          say("keeping the lists in force");
        } else {
          lists_ = std::get<queryd_lite::lists_t>(std::move(loaded));
          say("reloaded " + std::to_string(lists_.size()) + " lists from " + config_path_);
        }
        return wait_signal();
      }
      say("stopping");
      boost::system::error_code ignored;
      acceptor_.close(ignored);
      ::unlink(socket_path_.c_str());
      connections_.clear();
    });
  }

  boost::asio::io_context &io_;
  std::string socket_path_;
  std::string config_path_;
  queryd_lite::lists_t lists_;
  boost::asio::local::stream_protocol::acceptor acceptor_;
  boost::asio::signal_set signals_;
  std::map<unsigned, std::unique_ptr<connection_t>> connections_;
  unsigned last_id_ = 0;
};

connection_t::connection_t(server_t &server, std::unique_ptr<fw::util::stream_socket_t> stream, unsigned id)
    : server_(server), id_(id),
      link_(std::make_unique<fw::util::ipc_link_t>(static_cast<fw::util::ipc_link_t::delegate_t &>(*this), std::move(stream))) {}

void connection_t::on_message(const std::uint8_t *data, std::uint32_t size) {
  lp::ClientMessage request;
  const char *problem = nullptr;
  if (!request.ParseFromArray(data, static_cast<int>(size)))
    problem = "a frame that does not parse as lp.ClientMessage";
  else if (!request.has_serial() || !request.has_lookup_type() || !request.has_lookup_tag())
    problem = "a request without serial, lookup_type or lookup_tag";
  if (problem) {
    say("client " + std::to_string(id_) + " sent " + problem + "; closing its connection");
    return server_.remove(id_);
  }
  std::string report;
  const lp::ServerMessage answer = server_.answer(request, report);
  say("client " + std::to_string(id_) + ": " + report);
  send(answer);
}

void connection_t::send(const lp::ServerMessage &message) {
  const std::string bytes = message.SerializeAsString();
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[bytes.size()]);
  std::memcpy(buffer.get(), bytes.data(), bytes.size());
  link_->send(std::move(buffer), static_cast<std::uint32_t>(bytes.size()));
}

void connection_t::on_error(std::exception_ptr error) {
  if (mv::util::error_code_of(error) == boost::asio::error::eof)
    say("client " + std::to_string(id_) + " closed the connection");
  else
    say("client " + std::to_string(id_) + " failed: " + mv::util::describe_exception(error));
  server_.remove(id_);
}

} // namespace

int main(int argc, char **argv) {
  namespace po = boost::program_options;
  std::string socket_path, config_path;
  po::options_description visible("Options");
  visible.add_options()("help,h", "print this help and exit")(
      "socket", po::value<std::string>(&socket_path), "unix-domain socket path to listen on");
  po::options_description all;
  all.add(visible).add_options()("config", po::value<std::string>(&config_path));
  po::positional_options_description positional;
  positional.add("config", 1);
  po::variables_map vm;
  try {
    po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
    po::notify(vm);
  } catch (const std::exception &e) {
    std::cerr << "queryd-lite: " << e.what() << "\n" << usage << "\n" << visible;
    return 2;
  }
  if (vm.count("help")) {
    std::cout << usage << "\n" << visible;
    return 0;
  }
  if (config_path.empty() || socket_path.empty()) {
    std::cerr << usage << "\n" << visible;
    return 2;
  }
  auto loaded = queryd_lite::load_lists(config_path);
  if (auto *error = std::get_if<std::string>(&loaded)) {
    std::cerr << "queryd-lite: " << *error << std::endl;
    return 2;
  }
  try {
    boost::asio::io_context io(1);
    server_t server(io, socket_path, config_path, std::get<queryd_lite::lists_t>(std::move(loaded)));
    server.run();
    return 0;
  } catch (const std::exception &e) {
    std::cerr << "queryd-lite: " << mv::util::exception_message(e) << std::endl;
    return 1;
  }
}
