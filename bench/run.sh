#!/usr/bin/env bash
# DNS benchmark: zuncore-dns against dnsmasq, unbound (as a forwarder) and the bare echo
# responder, in one run, on the loopback of a private network namespace. Prints one CSV, then
# every ratio against its target:
#
#   server,workload,peak_qps,cpu_us_per_query,p50_ms,p99_ms,loss_pct,value,unit
#
# Workloads:
#   hit       (W1) 1000 hot names over UDP, replayed: cache hits where the server caches.
#             Peak qps and CPU µs per query from a saturating run; p50/p99 at a fixed rate
#             (BENCH_HIT_RATE, 20000 by default, the same for every server). Measured in
#             BENCH_ROUNDS (5) rounds that take every server in turn; each figure is the median
#             of the rounds, so a burst of other load on the machine does not decide a ratio.
#   tcp       (W2) the same names over TCP: peak qps and CPU.
#   miss      (W3) unique names, each one forwarded to the echo responder.
#   memory    (W5) a fresh server filled with 200k unique names: RSS growth per name.
#   coldstart (W6) zuncore only: the 200k entries saved at stop, loaded at the next start
#             (value = load ms, from the engine's log), then 10k of them replayed with the
#             upstream stopped (loss 0 = every one a hit).
#   overload  (W9) zuncore only: 10k unique names against an upstream that never answers.
#             loss = queries without an answer within 2.5 s (SERVFAIL counts as an answer);
#             value = RSS growth in MiB. Then unique names at a fixed rate against an upstream
#             whose port is closed (ICMP port unreachable) and against an address without a
#             route: value = the slowest SERVFAIL in ms.
#   dualstack (W10) zuncore only: the hot names as A and AAAA queries, cache hits, with speed
#             checks on (both families' addresses on lo, answered by the kernel) and dual-stack
#             selection on, then off: two engines side by side, BENCH_ROUNDS rounds in turn,
#             medians of CPU µs per query. Upstream: an unbound instance answering every name
#             with A 192.0.2.9 and AAAA 2001:db8::9. BENCH_DS_SOA=1 leaves 2001:db8::9 without
#             a route: every AAAA hit then gets the dual-stack SOA (the rule's costlier path).
#   hostile   (W11) zuncore only: UDP hit latency at BENCH_HIT_RATE alone, then again while a
#             hostile host holds 500 idle TCP connections and resets 10 connections a second
#             with two pipelined queries pending each (bench/hostile_tcp.py); cpu = the
#             engine's CPU share (%) in each phase.
# CPU µs per query is the server's utime+stime over the run divided by the queries it
# completed. The servers run on CPU 1, dnsperf and the echo responder on CPU 0.
#
#   bench/run.sh [--seconds N] [--servers "zuncore dnsmasq unbound echo"]
#                [--workloads "hit tcp miss memory coldstart overload dualstack hostile"]
#
# Builds an optimised tree (-O2) in $BENCH_BUILD (build/bench) first. Needs root or
# unprivileged user namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${BENCH_SECONDS:-5}
servers="zuncore dnsmasq unbound echo"
workloads="hit tcp miss memory coldstart overload dualstack hostile"
while (($#)); do
  case "$1" in
    --seconds) seconds=$2; shift ;;
    --servers) servers=$2; shift ;;
    --workloads) workloads=$2; shift ;;
    *) echo "usage: bench/run.sh [--seconds N] [--servers LIST] [--workloads LIST]" >&2; exit 2 ;;
  esac
  shift
done

build=${BENCH_BUILD:-build/bench}
if [[ -z "${ZC_BENCH_IN_NETNS:-}" ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUNCORE_BENCH=ON \
    -DZUNCORE_TESTS=OFF -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
  if ! ninja -C "$build" zuncore-dns echo_responder >"$build/bench-build.log" 2>&1; then
    tail -20 "$build/bench-build.log" >&2
    exit 1
  fi
  unshare_flags=-n
  [[ $(id -u) -eq 0 ]] || unshare_flags=-rn
  export ZC_BENCH_IN_NETNS=1 BENCH_BUILD=$build
  exec unshare "$unshare_flags" "$0" --seconds "$seconds" --servers "$servers" \
    --workloads "$workloads"
fi

ip link set lo up
work=$(mktemp -d /tmp/zc-bench-XXXXXX)
declare -A pid=()
main_shell=$BASHPID
cleanup() {
  # Only the script itself cleans up: a subshell that inherited the trap must not kill the
  # servers and remove the work folder in the middle of the run.
  [[ $BASHPID == "$main_shell" ]] || return 0
  for p in "${pid[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

client_cpu=() server_cpu=()
if (($(nproc) >= 2)); then
  client_cpu=(taskset -c 0)
  server_cpu=(taskset -c 1)
fi
hz=$(getconf CLK_TCK)
hit_rate=${BENCH_HIT_RATE:-20000}
miss_rate=${BENCH_MISS_RATE:-5000}
rounds=${BENCH_ROUNDS:-5}
declare -A hit_servers=()
fill_names=${BENCH_FILL_NAMES:-200000}
echo_port=5399
silent_port=5398
declare -A port=([zuncore]=5301 [dnsmasq]=5302 [unbound]=5303 [echo]=$echo_port)

# --- servers ------------------------------------------------------------------------------

# zuncore-dns: forwarding only (no speed checks, no filter), under a private root.
write_zuncore_conf() {  # <upstream address[:port]> <log level> [more lines]
  mkdir -p "$work/root/tmp"
  cat >"$work/root/tmp/zundns.conf" <<EOF
bind 127.0.0.1:${port[zuncore]}
bind-tcp 127.0.0.1:${port[zuncore]}
server $1
speed-check-mode none
log-level $2
cache-size 200000
${3:-}
EOF
}

start_server() {  # <name> [upstream port]
  local name=$1 upstream=${2:-$echo_port}
  case $name in
    echo)
      "${client_cpu[@]}" "$BENCH_BUILD/bench/echo_responder" "$echo_port" &
      ;;
    zuncore)
      [[ $upstream == *[.:]* ]] || upstream=127.0.0.1:$upstream
      write_zuncore_conf "$upstream" "${ZUNCORE_LOG_LEVEL:-error}" "${ZUNCORE_EXTRA_CONF:-}"
      ZUNCORE_ROOT=$work/root "${server_cpu[@]}" "$BENCH_BUILD/src/dns/standalone/zuncore-dns" \
        >>"$work/zuncore.log" 2>&1 &
      ;;
    dnsmasq)
      "${server_cpu[@]}" dnsmasq -k -C /dev/null --no-resolv --no-hosts --user=root \
        --server="127.0.0.1#$upstream" --listen-address=127.0.0.1 --bind-interfaces \
        --port="${port[dnsmasq]}" --cache-size=200000 --dns-forward-max=5000 --pid-file= \
        >>"$work/dnsmasq.log" 2>&1 &
      ;;
    unbound)
      cat >"$work/unbound.conf" <<EOF
server:
  interface: 127.0.0.1@${port[unbound]}
  username: ""
  chroot: ""
  directory: "$work"
  pidfile: ""
  use-syslog: no
  logfile: ""
  verbosity: 0
  do-daemonize: no
  num-threads: 1
  do-ip6: no
  do-not-query-localhost: no
  module-config: "iterator"
  msg-cache-size: 256m
  rrset-cache-size: 512m
forward-zone:
  name: "."
  forward-addr: 127.0.0.1@$upstream
remote-control:
  control-enable: no
EOF
      "${server_cpu[@]}" unbound -d -c "$work/unbound.conf" >>"$work/unbound.log" 2>&1 &
      ;;
  esac
  pid[$name]=$!
}

stop_server() {  # <name>
  local p=${pid[$1]:-}
  [[ -n $p ]] || return 0
  kill "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
  unset "pid[$1]"
}

wait_ready() {  # <port> [name]
  for _ in $(seq 200); do
    dig +short +time=1 +tries=1 @127.0.0.1 -p "$1" "${2:-ready.bench.example}" A 2>/dev/null |
      grep -q . && return 0
    sleep 0.02
  done
  echo "bench: server on port $1 does not answer" >&2
  tail -5 "$work"/*.log >&2
  return 1
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
now_ms() { date +%s%3N; }

# --- measurements -------------------------------------------------------------------------

# dnsperf <port> <names> <extra args...>: prints "completed qps lost_pct".
perf() {
  local p=$1 names=$2
  shift 2
  "${client_cpu[@]}" dnsperf -s 127.0.0.1 -p "$p" -d "$names" "$@" 2>/dev/null |
    awk '/Queries completed:/ {c=$3} /Queries lost:/ {l=$4; gsub(/[()%]/, "", l)}
         /Queries per second:/ {q=$4} END {printf "%d %.0f %s\n", c, q, l}'
}

# latency <port> <names> <rate> <extra args...>: prints "p50_ms p99_ms" of a fixed-rate run.
latency() {
  local p=$1 names=$2 rate=$3
  shift 3
  "${client_cpu[@]}" dnsperf -s 127.0.0.1 -p "$p" -d "$names" -Q "$rate" -v "$@" 2>/dev/null |
    awk '/^>/ {print $NF}' | sort -g | awk '{v[NR]=$1} END {
      if (NR == 0) { print "nan nan"; exit }
      i50=int(NR*0.50); if (i50<1) i50=1; i99=int(NR*0.99); if (i99<1) i99=1;
      printf "%.3f %.3f\n", v[i50]*1000, v[i99]*1000 }'
}

# latency_max <port> <names> <rate> <extra args...>: prints "p50_ms p99_ms max_ms lost".
latency_max() {
  local p=$1 names=$2 rate=$3
  shift 3
  "${client_cpu[@]}" dnsperf -s 127.0.0.1 -p "$p" -d "$names" -Q "$rate" -v "$@" 2>/dev/null |
    awk '/^>/ {print $NF} /Queries lost:/ {l=$4; gsub(/[()%]/, "", l); print "lost " l}' |
    sort -g | awk '/^lost/ {lost=$2; next} {v[++n]=$1} END {
      if (n == 0) { print "nan nan nan " lost; exit }
      i50=int(n*0.50); if (i50<1) i50=1; i99=int(n*0.99); if (i99<1) i99=1;
      printf "%.3f %.3f %.1f %s\n", v[i50]*1000, v[i99]*1000, v[n]*1000, lost }'
}

cpu_per_query() {  # <ticks> <queries>
  awk -v t="$1" -v hz="$hz" -v n="$2" \
    'BEGIN { if (n > 0) printf "%.1f", t * 1e6 / hz / n; else print "nan" }'
}

hot_names=bench/names/hot.txt
miss_next=1
# miss_slice <count> <file>: the next <count> names never asked before.
miss_slice() {
  seq "$miss_next" $((miss_next + $1 - 1)) | awk '{print "m" $1 ".bench.example A"}' >"$2"
  miss_next=$((miss_next + $1))
}

row() { echo "$*" | tee -a "$work/results.csv"; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# hit_rounds: the hot names, every server in turn per round: a saturating run (peak qps, CPU
# µs per query) and a fixed-rate run (p50, p99). One "hit" row per server with the medians.
hit_rounds() {
  local server round p completed qps lost before after p50 p99
  declare -A r_qps=() r_cpu=() r_lost=() r_p50=() r_p99=()
  for server in $servers; do
    [[ -n ${hit_servers[$server]:-} ]] || continue
    perf "${port[$server]}" "$hot_names" -n 1 >/dev/null  # warm again after the miss runs
  done
  for ((round = 0; round < rounds; round++)); do
    for server in $servers; do
      [[ -n ${hit_servers[$server]:-} ]] || continue
      p=${port[$server]}
      before=$(cpu_ticks "${pid[$server]}")
      read -r completed qps lost < <(perf "$p" "$hot_names" -c 4 -q 500 -l "$seconds")
      after=$(cpu_ticks "${pid[$server]}")
      read -r p50 p99 < <(latency "$p" "$hot_names" "$hit_rate" -l 2)
      r_qps[$server]+="$qps "
      r_cpu[$server]+="$(cpu_per_query $((after - before)) "$completed") "
      r_lost[$server]+="$lost "
      r_p50[$server]+="$p50 "
      r_p99[$server]+="$p99 "
    done
  done
  for server in $servers; do
    [[ -n ${hit_servers[$server]:-} ]] || continue
    row "$server,hit,$(median <<<"${r_qps[$server]}"),$(median <<<"${r_cpu[$server]}"),$(median \
      <<<"${r_p50[$server]}"),$(median <<<"${r_p99[$server]}"),$(median \
      <<<"${r_lost[$server]}"),$rounds,rounds"
  done
}

# peak_and_latency <server> <workload> <names> <loop args> <rate> <dnsperf mode args...>
# (tcp and miss: one saturating run, then a fixed-rate run for p50/p99)
peak_and_latency() {
  local server=$1 workload=$2 names=$3 loop=$4 rate=$5
  shift 5
  local p=${port[$server]} before after completed qps lost p50 p99
  before=$(cpu_ticks "${pid[$server]}")
  # shellcheck disable=SC2086
  read -r completed qps lost < <(perf "$p" "$names" -c 4 -q 500 $loop "$@")
  after=$(cpu_ticks "${pid[$server]}")
  if [[ $workload == miss ]]; then
    ((qps > 0 && rate > qps * 7 / 10)) && rate=$((qps * 7 / 10))
    miss_slice $((rate * 3)) "$names"
    read -r p50 p99 < <(latency "$p" "$names" "$rate" -n 1 "$@")
  else
    read -r p50 p99 < <(latency "$p" "$names" "$rate" -l 2 "$@")
  fi
  row "$server,$workload,$qps,$(cpu_per_query $((after - before)) "$completed"),$p50,$p99,$lost,,"
}

run_memory() {  # <server>
  local server=$1 p=${port[$1]} names=$work/fill.txt base after completed qps lost
  stop_server "$server"
  rm -f "$work/root/tmp/zundns.cache"  # a fresh start: nothing loaded from earlier runs
  start_server "$server"
  wait_ready "$p"
  sleep 0.2
  base=$(rss_kib "${pid[$server]}")
  miss_slice "$fill_names" "$names"
  read -r completed qps lost < <(perf "$p" "$names" -n 1 -Q 25000 -c 4 -q 200 -t 3)
  sleep 0.5
  after=$(rss_kib "${pid[$server]}")
  row "$server,memory,$qps,,,,$lost,$(awk -v d=$((after - base)) -v n="$completed" \
    'BEGIN { printf "%.0f", (n > 0 ? d * 1024 / n : 0) }'),bytes_per_name"
  cp "$names" "$work/filled-$server.txt"
}

run_coldstart() {
  local p=${port[zuncore]} t0 t_ready load_ms load_cpu completed qps lost empty_ms
  # The cache of the memory run is saved at stop; an empty start is the reference.
  stop_server zuncore
  mv "$work/root/tmp/zundns.cache" "$work/saved.cache"
  t0=$(now_ms)
  start_server zuncore
  wait_ready "$p" zundns
  empty_ms=$(($(now_ms) - t0))
  stop_server zuncore
  rm -f "$work/root/tmp/zundns.cache"
  mv "$work/saved.cache" "$work/root/tmp/zundns.cache"
  : >"$work/zuncore.log"
  t0=$(now_ms)
  ZUNCORE_LOG_LEVEL=info start_server zuncore
  wait_ready "$p" zundns
  t_ready=$(($(now_ms) - t0))
  load_ms=$(sed -n 's/.*entries loaded in \([0-9]*\) ms.*/\1/p' "$work/zuncore.log" | tail -1)
  load_cpu=$(sed -n 's/.*entries loaded in .* (\([0-9]*\) ms of CPU).*/\1/p' "$work/zuncore.log" |
    tail -1)
  row "zuncore,coldstart-load,,${load_cpu:-},$t_ready,$empty_ms,,${load_ms:-nan},load_ms(cpu=ms_of_cpu;p50=ready_ms;p99=empty_ready_ms)"
  # Replay with the upstream gone: anything not a hit is lost.
  stop_server echo
  head -10000 "$work/filled-zuncore.txt" >"$work/replay.txt"
  read -r completed qps lost < <(perf "$p" "$work/replay.txt" -n 1 -c 4 -q 200 -t 2)
  row "zuncore,coldstart-replay,$qps,,,,$lost,$completed,hits"
  start_server echo
}

# An upstream that takes every query and never answers.
start_silent() {
  [[ -z ${pid[silent]:-} ]] || return 0
  python3 -c "
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
s.bind(('127.0.0.1', $silent_port))
while True: s.recv(4096)" &
  pid[silent]=$!
}

run_overload() {
  local p=${port[zuncore]} base after completed qps lost
  start_silent
  stop_server zuncore
  rm -f "$work/root/tmp/zundns.cache"
  start_server zuncore "$silent_port"
  wait_ready "$p" zundns
  base=$(rss_kib "${pid[zuncore]}")
  miss_slice 10000 "$work/overload.txt"
  read -r completed qps lost < <(perf "$p" "$work/overload.txt" -n 1 -c 4 -q 2000 -t 2.5)
  after=$(rss_kib "${pid[zuncore]}")
  row "zuncore,overload,$qps,,,,$lost,$(awk -v d=$((after - base)) \
    'BEGIN { printf "%.1f", d / 1024 }'),rss_growth_mib"
  # Upstreams the kernel reports as unreachable: a closed port on this host (nothing listens on
  # 5397) and an address without a route (only lo is up in this namespace).
  local kind upstream p50 p99 max
  for kind in closed noroute; do
    upstream=127.0.0.1:5397
    [[ $kind == noroute ]] && upstream=203.0.113.1
    stop_server zuncore
    rm -f "$work/root/tmp/zundns.cache"
    start_server zuncore "$upstream"
    wait_ready "$p" zundns
    miss_slice 1000 "$work/unreachable.txt"
    read -r p50 p99 max lost < <(latency_max "$p" "$work/unreachable.txt" 500 -n 1 -t 3)
    row "zuncore,overload-$kind,500,,$p50,$p99,$lost,$max,max_ms"
  done
  stop_server zuncore
  start_server zuncore
}

run_hostile() {
  local p=${port[zuncore]} p50 p99 t0 t1 c0 c1 hostile
  start_silent
  stop_server zuncore
  rm -f "$work/root/tmp/zundns.cache"
  ZUNCORE_EXTRA_CONF="server 127.0.0.1:$silent_port -group silent -exclude-default-group
nameserver /slow.bench.example/silent" start_server zuncore
  wait_ready "$p"
  perf "$p" "$hot_names" -n 1 >/dev/null
  c0=$(cpu_ticks "${pid[zuncore]}") t0=$(now_ms)
  read -r p50 p99 < <(latency "$p" "$hot_names" "$hit_rate" -l "$seconds")
  c1=$(cpu_ticks "${pid[zuncore]}") t1=$(now_ms)
  row "zuncore,hostile-base,,$(awk -v c=$((c1 - c0)) -v t=$((t1 - t0)) -v hz="$hz" \
    'BEGIN { printf "%.1f", c * 100000 / hz / t }'),$p50,$p99,,,cpu_pct"
  "${client_cpu[@]}" python3 bench/hostile_tcp.py "$p" 500 10 $((seconds + 2)) \
    >"$work/hostile.log" 2>&1 &
  hostile=$!
  sleep 1
  c0=$(cpu_ticks "${pid[zuncore]}") t0=$(now_ms)
  read -r p50 p99 < <(latency "$p" "$hot_names" "$hit_rate" -l "$seconds")
  c1=$(cpu_ticks "${pid[zuncore]}") t1=$(now_ms)
  wait "$hostile" || true
  row "zuncore,hostile,,$(awk -v c=$((c1 - c0)) -v t=$((t1 - t0)) -v hz="$hz" \
    'BEGIN { printf "%.1f", c * 100000 / hz / t }'),$p50,$p99,,,cpu_pct"
  stop_server zuncore
  start_server zuncore
}

# W10: cache hits of both families with dual-stack selection on and off (two engines at once).
run_dualstack() {
  local up=5397 mode p round before after completed qps lost names=$work/hot-both.txt
  declare -A ds_port=([on]=5304 [off]=5305) r_cpu=() r_qps=()
  ip addr add 192.0.2.9/32 dev lo
  [[ -n ${BENCH_DS_SOA:-} ]] || ip -6 addr add 2001:db8::9/128 dev lo nodad
  ip -6 addr add 2001::/128 dev lo nodad  # IPv6 counts as reachable
  cat >"$work/unbound-ds.conf" <<EOF
server:
  interface: 127.0.0.1@$up
  username: ""
  chroot: ""
  directory: "$work"
  pidfile: ""
  use-syslog: no
  logfile: ""
  verbosity: 0
  do-daemonize: no
  num-threads: 1
  do-ip6: no
  local-zone: "bench.example." redirect
  local-data: "bench.example. 300 IN A 192.0.2.9"
  local-data: "bench.example. 300 IN AAAA 2001:db8::9"
remote-control:
  control-enable: no
EOF
  "${client_cpu[@]}" unbound -d -c "$work/unbound-ds.conf" >>"$work/unbound-ds.log" 2>&1 &
  pid[unbound-ds]=$!
  awk '{print $1 " A"; print $1 " AAAA"}' "$hot_names" >"$names"
  for mode in on off; do
    mkdir -p "$work/ds-$mode/tmp"
    cat >"$work/ds-$mode/tmp/zundns.conf" <<EOF
bind 127.0.0.1:${ds_port[$mode]}
server 127.0.0.1:$up
speed-check-mode ping
dualstack-ip-selection $([[ $mode == on ]] && echo yes || echo no)
log-level error
cache-size 200000
cache-persist no
EOF
    ZUNCORE_ROOT=$work/ds-$mode "${server_cpu[@]}" \
      "$BENCH_BUILD/src/dns/standalone/zuncore-dns" >>"$work/zuncore-ds-$mode.log" 2>&1 &
    pid[ds-$mode]=$!
  done
  wait_ready "$up"
  for mode in on off; do
    wait_ready "${ds_port[$mode]}"
    # Fill the cache (each miss waits for its speed checks), then once more: all hits.
    perf "${ds_port[$mode]}" "$names" -n 1 -c 4 -q 100 >/dev/null
    perf "${ds_port[$mode]}" "$names" -n 1 >/dev/null
  done
  for ((round = 0; round < rounds; round++)); do
    for mode in on off; do
      p=${ds_port[$mode]}
      before=$(cpu_ticks "${pid[ds-$mode]}")
      read -r completed qps lost < <(perf "$p" "$names" -c 4 -q 500 -l "$seconds")
      after=$(cpu_ticks "${pid[ds-$mode]}")
      r_cpu[$mode]+="$(cpu_per_query $((after - before)) "$completed") "
      r_qps[$mode]+="$qps "
    done
  done
  for mode in on off; do
    row "zuncore,dualstack-$mode,$(median <<<"${r_qps[$mode]}"),$(median \
      <<<"${r_cpu[$mode]}"),,,,$rounds,rounds"
    stop_server "ds-$mode"
  done
  stop_server unbound-ds
}

# --- run ----------------------------------------------------------------------------------

start_server echo
for s in $servers; do [[ $s == echo ]] || start_server "$s"; done

row "server,workload,peak_qps,cpu_us_per_query,p50_ms,p99_ms,loss_pct,value,unit"
# Throughput first, then the hit latency rounds, then the workloads that restart servers.
for server in $servers; do
  p=${port[$server]}
  wait_ready "$p"
  for workload in $workloads; do
    case $workload in
      hit) hit_servers[$server]=1 ;;  # measured in rounds below
      tcp)
        [[ $server == echo ]] && continue  # UDP only
        perf "$p" "$hot_names" -n 1 -m tcp >/dev/null
        peak_and_latency "$server" tcp "$hot_names" "-l $seconds" "$hit_rate" -m tcp
        ;;
      miss)
        names=$work/miss-$server.txt
        miss_slice 400000 "$names"
        peak_and_latency "$server" miss "$names" "-n 1 -l $seconds" "$miss_rate"
        ;;
    esac
  done
done
((${#hit_servers[@]})) && hit_rounds
for server in $servers; do
  for workload in $workloads; do
    case $workload in
      memory) [[ $server == echo ]] || run_memory "$server" ;;
      coldstart) [[ $server == zuncore ]] && run_coldstart ;;
      overload) [[ $server == zuncore ]] && run_overload ;;
      dualstack) [[ $server == zuncore ]] && run_dualstack ;;
      hostile) [[ $server == zuncore ]] && run_hostile ;;
    esac
  done
done

# --- ratios -------------------------------------------------------------------------------
echo
awk -F, 'NR > 1 { key = $1 "," $2; qps[key] = $3; cpu[key] = $4; p50[key] = $5; p99[key] = $6;
                  loss[key] = $7; val[key] = $8 }
  function ratio(a, b) { return (a == "" || b == "" || b + 0 == 0) ? "nan" : sprintf("%.2f", a / b) }
  function check(label, r, op, target) {
    ok = r == "nan" ? "n/a" : (op == "<=" ? (r + 0 <= target ? "ok" : "MISSED") \
                                          : (r + 0 >= target ? "ok" : "MISSED"))
    printf "%-44s %6s  target %s %s  %s\n", label, r, op, target, ok
  }
  function absolute(label, v, op, target, unit) {
    ok = v == "" || v == "nan" ? "n/a" : (op == "<=" ? (v + 0 <= target ? "ok" : "MISSED") \
                                                     : (v + 0 >= target ? "ok" : "MISSED"))
    printf "%-44s %6s  target %s %s %s  %s\n", label, v, op, target, unit, ok
  }
  END {
    z = "zuncore,"; u = "unbound,"; d = "dnsmasq,"
    check("W1 hit CPU us/query vs echo responder", ratio(cpu[z "hit"], cpu["echo,hit"]), "<=", 2.5)
    check("W1 hit CPU us/query vs unbound", ratio(cpu[z "hit"], cpu[u "hit"]), "<=", 0.6)
    check("W1 hit CPU us/query vs dnsmasq", ratio(cpu[z "hit"], cpu[d "hit"]), "<=", 0.6)
    check("W1 hit p50 vs unbound", ratio(p50[z "hit"], p50[u "hit"]), "<=", 1.1)
    check("W1 hit p99 vs unbound", ratio(p99[z "hit"], p99[u "hit"]), "<=", 1.2)
    check("W2 TCP peak qps vs unbound", ratio(qps[z "tcp"], qps[u "tcp"]), ">=", 0.8)
    check("W3 miss CPU us/query vs unbound", ratio(cpu[z "miss"], cpu[u "miss"]), "<=", 1.0)
    check("W3 miss peak qps vs dnsmasq", ratio(qps[z "miss"], qps[d "miss"]), ">=", 2.0)
    check("W3 miss CPU us/query vs dnsmasq", ratio(cpu[z "miss"], cpu[d "miss"]), "<=", 0.5)
    check("W5 memory per name vs unbound", ratio(val[z "memory"], val[u "memory"]), "<=", 0.6)
    absolute("W6 cold start: load of the cache file", val[z "coldstart-load"], "<=", 300, "ms")
    absolute("W6 cold start: replay lost (not hits)", loss[z "coldstart-replay"], "<=", 0, "%")
    absolute("W9 overload: RSS growth", val[z "overload"], "<=", 10, "MiB")
    absolute("W9 overload: unanswered within 2.5 s", loss[z "overload"], "<=", 0, "%")
    absolute("W9 closed port: slowest SERVFAIL", val[z "overload-closed"], "<=", 100, "ms")
    absolute("W9 no route: slowest SERVFAIL", val[z "overload-noroute"], "<=", 100, "ms")
    check("W10 hit CPU, dual-stack on vs off", ratio(cpu[z "dualstack-on"], cpu[z "dualstack-off"]),
          "<=", 1.1)
    check("W11 hostile TCP: UDP hit p99 vs alone", ratio(p99[z "hostile"], p99[z "hostile-base"]),
          "<=", 1.2)
  }' "$work/results.csv"
