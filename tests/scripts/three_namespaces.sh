#!/usr/bin/env bash
# A client, the daemon's host (router and server) and a server, each in its own throwaway namespace.
# Connections from the client to the server (forward) and to the host (input), over IPv4 and IPv6, get
# the verdict the hook picks by destination port. Prints one line per connection and the daemon's kernel
# state at each step.
set -u
bin=${MOVRI_BUILD_DIR:?}
t=mvf$$; H=$t-h; S=$t-s; C=$t-c; work=$(mktemp -d)
cleanup(){ kill $(jobs -p) 2>/dev/null; sleep 0.3; for n in $H $S $C; do ip netns pids $n 2>/dev/null | xargs -r kill -9; ip netns del $n 2>/dev/null; done; rm -rf $work; }
trap cleanup EXIT
for n in $H $S $C; do ip netns add $n; ip -n $n link set lo up; done
ip link add $t-hs type veth peer name $t-sh; ip link set $t-hs netns $H; ip link set $t-sh netns $S
ip link add $t-hc type veth peer name $t-ch; ip link set $t-hc netns $H; ip link set $t-ch netns $C
ip -n $H addr add 10.77.0.1/24 dev $t-hs; ip -n $S addr add 10.77.0.2/24 dev $t-sh
ip -n $H addr add 10.88.0.1/24 dev $t-hc; ip -n $C addr add 10.88.0.2/24 dev $t-ch
ip -n $H addr add fd77::1/64 dev $t-hs nodad; ip -n $S addr add fd77::2/64 dev $t-sh nodad
ip -n $H addr add fd88::1/64 dev $t-hc nodad; ip -n $C addr add fd88::2/64 dev $t-ch nodad
for x in "$H $t-hs" "$H $t-hc" "$S $t-sh" "$C $t-ch"; do set -- $x; ip -n $1 link set $2 up; done
ip -n $S route add default via 10.77.0.1; ip -n $C route add default via 10.88.0.1
ip -n $S -6 route add default via fd77::1; ip -n $C -6 route add default via fd88::1
ip netns exec $H sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
for a in "$S 10.77.0.2" "$H 10.88.0.1" "$S fd77::2" "$H fd88::1"; do set -- $a
  ip netns exec $1 $bin/movri-demo-peer serve $2 7001 7002 7003 7004 7005 & done
cat > $work/hook.lua <<'LUA'
local v = { [7001] = "pass", [7002] = "drop", [7003] = "reject", [7004] = "check" }
function intercept_hook(ctx)
  if ctx.dst.port == 7005 then error("hook failure") end
  return v[ctx.dst.port] or "pass"
end
LUA
cat > $work/fw.conf <<CONF
log_level: LOG_LEVEL_DEBUG
actual_log { type: STDERR }
autoconfigure_iptables: true
autoconfigure_routing: true
var_lib_dir: "$work"
xtables_lock_path: "$work/x.lock"
local_delivery_mark { auto {} }
client_packets_mark { auto {} }
server_packets_mark { auto {} }
tproxy_listen_address { address: "127.0.0.1" port: 19999 }
input_divert_enable: true
input_divert_nfqueue_number { auto {} }
input_divert_mark { none {} }
forward_divert_enable: true
forward_divert_nfqueue_number { auto {} }
forward_divert_connect_transparently: true
forward_divert_mark { auto {} }
intercept_hook { file: "$work/hook.lua" }
CONF
ip netns exec $H $bin/movri-vettd-lite $work/v.sock > $work/v.log 2>&1 &
sleep 0.3
ip netns exec $H $bin/movri-hubd-lite --vettd $work/v.sock $work/fw.conf > $work/d.log 2>&1 &
hubd=$!
for i in $(seq 50); do grep -q "Ready for service" $work/d.log && break; sleep 0.1; done
for dst in 10.77.0.2 10.88.0.1 fd77::2 fd88::1; do for p in 7001 7002 7003 7004 7005; do
  echo "$dst:$p $(ip netns exec $C $bin/movri-demo-peer connect $dst $p hi-$p 2)"; done; done
state(){ echo "state $1: rules=$(ip netns exec $H iptables-legacy-save | grep -c movri-firewall)" \
  "policy=$(ip -n $H rule | grep -c 'lookup 1[0-9][0-9]')" "file=$(ls $work/rule_info.dat 2>/dev/null | wc -l)"; }
state started
grep -E 'Error|Warning' $work/d.log | head -20
cat $work/v.log
# Switching the automatic configuration off removes what was installed.
sed -i -e 's/autoconfigure_iptables: true/autoconfigure_iptables: false/' -e 's/autoconfigure_routing: true/autoconfigure_routing: false/' \
  -e 's/{ auto {} }/{ manual: 1 }/' $work/fw.conf
sed -i -e '0,/manual: 1/! {0,/manual: 1/ s/manual: 1/manual: 2/}' $work/fw.conf
awk 'BEGIN{n=0} /manual: [12]/{n++; sub(/manual: [12]/, "manual: " 2^(n-1))} {print}' $work/fw.conf > $work/fw2.conf && mv $work/fw2.conf $work/fw.conf
kill -HUP $hubd
for i in $(seq 50); do [ "$(grep -c 'Ready for service' $work/d.log)" -ge 2 ] && break; sleep 0.1; done
state reconfigured
kill -TERM $hubd; wait $hubd
echo "daemon exit $?"
state stopped
