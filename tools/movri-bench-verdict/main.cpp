// The least a verdict loop can do, for scripts/bench: bind an NFQUEUE queue, copy only the packet's
// metadata, and answer every packet with NF_REPEAT and the given mark at once (the daemon's pass).
//   movri-bench-verdict QUEUE_NUMBER MARK
#include <arpa/inet.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <linux/netlink.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

volatile sig_atomic_t stop = 0;

struct builder_t {
  std::vector<char> buffer;
  builder_t(std::uint16_t type, std::uint16_t queue) {
    buffer.resize(NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(nfgenmsg)));
    auto *h = reinterpret_cast<nlmsghdr *>(buffer.data());
    h->nlmsg_type = static_cast<std::uint16_t>((NFNL_SUBSYS_QUEUE << 8) | type);
    h->nlmsg_flags = NLM_F_REQUEST;
    auto *g = reinterpret_cast<nfgenmsg *>(buffer.data() + NLMSG_HDRLEN);
    g->nfgen_family = AF_UNSPEC;
    g->version = NFNETLINK_V0;
    g->res_id = htons(queue);
  }
  void add(std::uint16_t type, const void *data, std::size_t size) {
    const std::size_t at = buffer.size();
    buffer.resize(at + NLA_ALIGN(NLA_HDRLEN + size));
    auto *a = reinterpret_cast<nlattr *>(buffer.data() + at);
    a->nla_type = type;
    a->nla_len = static_cast<std::uint16_t>(NLA_HDRLEN + size);
    std::memcpy(buffer.data() + at + NLA_HDRLEN, data, size);
  }
  const char *finish() {
    reinterpret_cast<nlmsghdr *>(buffer.data())->nlmsg_len = static_cast<std::uint32_t>(buffer.size());
    return buffer.data();
  }
};

void send_message(int fd, builder_t &message) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  const char *data = message.finish();
  if (::sendto(fd, data, message.buffer.size(), 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0)
    std::perror("movri-bench-verdict: sendto");
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: movri-bench-verdict QUEUE_NUMBER MARK\n");
    return 2;
  }
  const auto queue = static_cast<std::uint16_t>(std::strtoul(argv[1], nullptr, 0));
  const auto mark = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 0));
  struct sigaction action{};
  action.sa_handler = [](int) { stop = 1; };
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);

  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
  if (fd < 0) {
    std::perror("movri-bench-verdict: socket");
    return 1;
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
    std::perror("movri-bench-verdict: bind");
    return 1;
  }
  const int one = 1;
  ::setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &one, sizeof one);
  {
    builder_t bind(NFQNL_MSG_CONFIG, queue);
    nfqnl_msg_config_cmd command{};
    command.command = NFQNL_CFG_CMD_BIND;
    bind.add(NFQA_CFG_CMD, &command, sizeof command);
    send_message(fd, bind);
    builder_t params(NFQNL_MSG_CONFIG, queue);
    nfqnl_msg_config_params p{};
    p.copy_range = htonl(0);
    p.copy_mode = NFQNL_COPY_META;
    params.add(NFQA_CFG_PARAMS, &p, sizeof p);
    send_message(fd, params);
  }
  std::fprintf(stderr, "movri-bench-verdict: bound queue %u\n", queue);

  std::vector<char> buffer(1 << 16);
  const std::uint32_t mark_be = htonl(mark);
  while (!stop) {
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno == EINTR || errno == ENOBUFS) continue;
      std::perror("movri-bench-verdict: recv");
      return 1;
    }
    int left = static_cast<int>(n);
    for (auto *h = reinterpret_cast<nlmsghdr *>(buffer.data()); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_ERROR) {
        const auto *e = static_cast<const nlmsgerr *>(NLMSG_DATA(h));
        if (e->error != 0) std::fprintf(stderr, "movri-bench-verdict: netlink error %d\n", -e->error);
        continue;
      }
      if ((h->nlmsg_type & 0xff) != NFQNL_MSG_PACKET) continue;
      const char *attrs = static_cast<const char *>(NLMSG_DATA(h)) + NLMSG_ALIGN(sizeof(nfgenmsg));
      int attrs_left = static_cast<int>(h->nlmsg_len) - static_cast<int>(NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(nfgenmsg)));
      std::uint32_t packet_id = 0;
      bool found = false;
      while (attrs_left >= static_cast<int>(NLA_HDRLEN)) {
        const auto *a = reinterpret_cast<const nlattr *>(attrs);
        if (a->nla_len < NLA_HDRLEN || a->nla_len > attrs_left) break;
        if ((a->nla_type & NLA_TYPE_MASK) == NFQA_PACKET_HDR && a->nla_len >= NLA_HDRLEN + sizeof(nfqnl_msg_packet_hdr)) {
          nfqnl_msg_packet_hdr header;
          std::memcpy(&header, attrs + NLA_HDRLEN, sizeof header);
          packet_id = header.packet_id; // already big-endian
          found = true;
        }
        const int step = NLA_ALIGN(a->nla_len);
        attrs += step;
        attrs_left -= step;
      }
      if (!found) continue;
      builder_t verdict(NFQNL_MSG_VERDICT, queue);
      nfqnl_msg_verdict_hdr v{};
      v.verdict = htonl(NF_REPEAT);
      v.id = packet_id;
      verdict.add(NFQA_VERDICT_HDR, &v, sizeof v);
      verdict.add(NFQA_MARK, &mark_be, sizeof mark_be);
      send_message(fd, verdict);
    }
  }
  return 0;
}
