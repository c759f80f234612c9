// Records which process connected a socket: on every connect() of an IPv4 or IPv6 socket in the cgroup
// (and its descendants) the socket's cookie is mapped to the calling process (its thread group id, as
// the initial PID namespace numbers it). The connect is always allowed; nothing else is looked at.
// The daemon reads the map by the cookie that socket diagnostics report for the socket.
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>

struct {
  __uint(type, BPF_MAP_TYPE_LRU_HASH);
  __uint(max_entries, 32768);
  __type(key, __u64);   // socket cookie
  __type(value, __u32); // tgid of the caller of connect()
} movri_owners SEC(".maps");

static __always_inline int record(struct bpf_sock_addr *ctx) {
  __u64 cookie = bpf_get_socket_cookie(ctx);
  __u32 tgid = bpf_get_current_pid_tgid() >> 32;
  bpf_map_update_elem(&movri_owners, &cookie, &tgid, BPF_ANY);
  return 1; // allow
}

SEC("cgroup/connect4")
int movri_connect4(struct bpf_sock_addr *ctx) { return record(ctx); }

SEC("cgroup/connect6")
int movri_connect6(struct bpf_sock_addr *ctx) { return record(ctx); }

char LICENSE[] SEC("license") = "GPL";
