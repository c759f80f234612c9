#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <boost/filesystem.hpp>

#include "queryd_client_ipc.pb.h"
#include "tests/support/child_process.hpp"
#include "tests/support/fake_hubd.hpp"
#include "tests/support/process.hpp"

namespace {

namespace fs = boost::filesystem;
using client_t = lp::ClientMessage;

const std::string queryd_lite = std::string(MOVRI_TOOLS_DIR) + "/movri-queryd-lite";

void write_file(const fs::path &path, const std::string &text) { std::ofstream(path.string()) << text; }

// The stand-in serving lists of every kind from a temporary directory; the test is its client.
struct queryd_lite_test_t : ::testing::Test {
  fs::path dir;
  std::string socket_path;
  std::unique_ptr<tests::child_process_t> server;

  void SetUp() override {
    dir = fs::temp_directory_path() / fs::unique_path("queryd-lite-%%%%%%%%");
    fs::create_directories(dir);
    socket_path = (dir / "queryd.sock").string();
    write_file(dir / "nets.txt", "# private\n10.0.0.0/8\n\n 192.168.1.5 \n2001:db8::/32\n");
    write_file(dir / "hosts.re", "^ads?\\.\n\\.example$\n");
    write_file(dir / "names.txt", "*.corp\nhost?\n");
    write_file(dir / "users.txt", "alice\nbob\n");
    write_file(dir / "queryd.conf", "# TYPE TAG FILE\ncidr nets nets.txt\nRegex hosts hosts.re\nmask names " +
                                        (dir / "names.txt").string() + "\nallmatch users users.txt\nldap people users.txt\n");
    server = std::make_unique<tests::child_process_t>(queryd_lite, std::vector<std::string>{"--socket", socket_path,
                                                                                            (dir / "queryd.conf").string()});
    ASSERT_TRUE(server->wait_for_output("listening on")) << server->output();
  }
  void TearDown() override {
    server.reset();
    fs::remove_all(dir);
  }

  int connect() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket_path.copy(address.sun_path, socket_path.size());
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
  }
  static void send(int fd, const std::string &payload) {
    const std::string f = tests::fake_hubd_t::frame(payload);
    ASSERT_EQ(::send(fd, f.data(), f.size(), MSG_NOSIGNAL), static_cast<ssize_t>(f.size()));
  }
  // The answer's text form, or "<closed>".
  static std::string receive(int fd) {
    unsigned char prefix[4];
    if (::recv(fd, prefix, 4, MSG_WAITALL) != 4) return "<closed>";
    std::string payload(prefix[0] | prefix[1] << 8, '\0');
    if (::recv(fd, payload.data(), payload.size(), MSG_WAITALL) != static_cast<ssize_t>(payload.size())) return "<short>";
    lp::ServerMessage m;
    if (!m.ParseFromString(payload)) return "<garbage>";
    return m.ShortDebugString();
  }
  static client_t request(lp::LookupType type, const std::string &tag, std::uint32_t serial) {
    client_t m;
    m.set_tag(client_t::LOOKUP_REQUEST);
    m.set_serial(serial);
    m.set_lookup_type(type);
    m.set_lookup_tag(tag);
    return m;
  }
  std::string check(int fd, lp::LookupType type, const std::string &tag, const std::string &value) {
    client_t m = request(type, tag, 7);
    m.set_tag(client_t::CHECK_REQUEST);
    m.set_check(value);
    send(fd, m.SerializeAsString());
    return receive(fd);
  }
};

TEST_F(queryd_lite_test_t, ChecksMatchEachKindOfList) {
  const int fd = connect();
  const std::string yes = "tag: CHECK_RESPONSE serial: 7 result: true", no = "tag: CHECK_RESPONSE serial: 7 result: false";
  EXPECT_EQ(check(fd, lp::LOOKUP_CIDR, "nets", "10.200.3.4"), yes);
  EXPECT_EQ(check(fd, lp::LOOKUP_CIDR, "nets", "192.168.1.5"), yes);
  EXPECT_EQ(check(fd, lp::LOOKUP_CIDR, "nets", "192.168.1.6"), no);
  EXPECT_EQ(check(fd, lp::LOOKUP_CIDR, "nets", "2001:db8:1::9"), yes);
  EXPECT_EQ(check(fd, lp::LOOKUP_CIDR, "nets", "11.0.0.1"), no);
  EXPECT_EQ(check(fd, lp::LOOKUP_CIDR, "nets", "not-an-address"),
            "tag: CHECK_RESPONSE serial: 7 error { code: EC_INVALID_ARGUMENT what: \"cidr@nets: not an IP address: not-an-address\" }");
  EXPECT_EQ(check(fd, lp::LOOKUP_REGEX, "hosts", "ads.tracker.net"), yes);
  EXPECT_EQ(check(fd, lp::LOOKUP_REGEX, "hosts", "www.example"), yes);
  EXPECT_EQ(check(fd, lp::LOOKUP_REGEX, "hosts", "www.example.org"), no);
  EXPECT_EQ(check(fd, lp::LOOKUP_MASK, "names", "build.corp"), yes);
  EXPECT_EQ(check(fd, lp::LOOKUP_MASK, "names", "host1"), yes);
  EXPECT_EQ(check(fd, lp::LOOKUP_MASK, "names", "host12"), no);
  EXPECT_EQ(check(fd, lp::LOOKUP_ALLMATCH, "users", "bob"), yes);
  EXPECT_EQ(check(fd, lp::LOOKUP_ALLMATCH, "users", "bo"), no);
  // The tag belongs to its type: users is no mask list.
  EXPECT_EQ(check(fd, lp::LOOKUP_MASK, "users", "bob"),
            "tag: CHECK_RESPONSE serial: 7 error { code: EC_NO_SUCH_ENTRY what: \"no list mask@users\" }");
  ::close(fd);
}

} // namespace
