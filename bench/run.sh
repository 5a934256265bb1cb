#!/usr/bin/env bash
# DNS benchmark: zuncore-dns against dnsmasq, unbound (as a forwarder) and the bare echo
# responder, in one run, on the loopback of a private network namespace. Prints one CSV:
#
#   server,workload,peak_qps,cpu_us_per_query,p50_ms,p99_ms,loss_pct
#
# Workloads: hit (1000 hot names, replayed: cache hits where the server caches) and miss
# (unique names, each one forwarded to the echo responder). CPU µs per query is the server's
# utime+stime over the peak run divided by the queries it completed; p50/p99 come from a
# fixed-rate run. The servers run on CPU 1, dnsperf and the echo responder on CPU 0.
#
#   bench/run.sh [--seconds N] [--servers "zuncore dnsmasq unbound echo"] [--workloads "hit miss"]
#
# Builds an optimised tree (-O2) in build/bench first. Needs root or unprivileged user namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)
seconds=${BENCH_SECONDS:-5}
servers="zuncore dnsmasq unbound echo"
workloads="hit miss"
while (($#)); do
  case "$1" in
    --seconds) seconds=$2; shift ;;
    --servers) servers=$2; shift ;;
    --workloads) workloads=$2; shift ;;
    *) echo "usage: bench/run.sh [--seconds N] [--servers LIST] [--workloads LIST]" >&2; exit 2 ;;
  esac
  shift
done

build=build/bench
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
  export ZC_BENCH_IN_NETNS=1
  exec unshare "$unshare_flags" "$0" --seconds "$seconds" --servers "$servers" \
    --workloads "$workloads"
fi

ip link set lo up
work=$(mktemp -d /tmp/zc-bench-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cpus=$(nproc)
client_cpu=() server_cpu=()
if ((cpus >= 2)); then
  client_cpu=(taskset -c 0)
  server_cpu=(taskset -c 1)
fi
hz=$(getconf CLK_TCK)
echo_port=5399
declare -A port=([zuncore]=5301 [dnsmasq]=5302 [unbound]=5303 [echo]=$echo_port)

"${client_cpu[@]}" "$build/bench/echo_responder" "$echo_port" &
pids+=($!)
declare -A pid=([echo]=$!)

# zuncore-dns: forwarding only (no speed checks, no filter), under a private root.
mkdir -p "$work/root/tmp"
cat >"$work/root/tmp/zundns.conf" <<EOF
bind 127.0.0.1:${port[zuncore]}
server 127.0.0.1:$echo_port
speed-check-mode none
log-level error
cache-size 200000
EOF
if [[ " $servers " == *" zuncore "* ]]; then
  ZUNCORE_ROOT=$work/root "${server_cpu[@]}" "$build/src/dns/standalone/zuncore-dns" \
    >"$work/zuncore.log" 2>&1 &
  pids+=($!); pid[zuncore]=$!
fi
if [[ " $servers " == *" dnsmasq "* ]]; then
  "${server_cpu[@]}" dnsmasq -k -C /dev/null --no-resolv --no-hosts --user=root \
    --server="127.0.0.1#$echo_port" --listen-address=127.0.0.1 --bind-interfaces \
    --port="${port[dnsmasq]}" --cache-size=200000 --dns-forward-max=5000 --pid-file= \
    >"$work/dnsmasq.log" 2>&1 &
  pids+=($!); pid[dnsmasq]=$!
fi
if [[ " $servers " == *" unbound "* ]]; then
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
  msg-cache-size: 64m
  rrset-cache-size: 128m
forward-zone:
  name: "."
  forward-addr: 127.0.0.1@$echo_port
remote-control:
  control-enable: no
EOF
  "${server_cpu[@]}" unbound -d -c "$work/unbound.conf" >"$work/unbound.log" 2>&1 &
  pids+=($!); pid[unbound]=$!
fi

wait_ready() {
  for _ in $(seq 100); do
    dig +short +time=1 +tries=1 @127.0.0.1 -p "$1" ready.bench.example A 2>/dev/null |
      grep -q . && return 0
    sleep 0.05
  done
  echo "bench: server on port $1 does not answer" >&2
  return 1
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# dnsperf <port> <names> <extra args...>: prints "completed qps lost_pct".
perf() {
  local p=$1 names=$2
  shift 2
  "${client_cpu[@]}" dnsperf -s 127.0.0.1 -p "$p" -d "$names" "$@" 2>/dev/null |
    awk '/Queries completed:/ {c=$3} /Queries lost:/ {l=$4; gsub(/[()%]/, "", l)}
         /Queries per second:/ {q=$4} END {printf "%d %.0f %s\n", c, q, l}'
}

# percentiles <file of latencies in seconds>: prints "p50_ms p99_ms".
percentiles() {
  sort -g "$1" | awk '{v[NR]=$1} END {
    if (NR == 0) { print "nan nan"; exit }
    i50=int(NR*0.50); if (i50<1) i50=1; i99=int(NR*0.99); if (i99<1) i99=1;
    printf "%.3f %.3f\n", v[i50]*1000, v[i99]*1000 }'
}

hot_names=bench/names/hot.txt
miss_next=1
# miss_slice <count> <file>: the next <count> names never asked before.
miss_slice() {
  seq "$miss_next" $((miss_next + $1 - 1)) | awk '{print "m" $1 ".bench.example A"}' >"$2"
  miss_next=$((miss_next + $1))
}

echo "server,workload,peak_qps,cpu_us_per_query,p50_ms,p99_ms,loss_pct"
for server in $servers; do
  p=${port[$server]}
  wait_ready "$p"
  for workload in $workloads; do
    if [[ $workload == hit ]]; then
      perf "$p" "$hot_names" -n 1 >/dev/null  # warm the cache
      names=$hot_names
      loop=(-l "$seconds")
      rate=20000
    else
      # A fresh slice of unique names for every run.
      names=$work/miss-$server.txt
      miss_slice 400000 "$names"
      loop=(-n 1 -l "$seconds")
      rate=5000
    fi
    before=$(cpu_ticks "${pid[$server]}")
    read -r completed qps lost < <(perf "$p" "$names" -c 4 -q 500 "${loop[@]}")
    after=$(cpu_ticks "${pid[$server]}")
    cpu_us=$(awk -v t=$((after - before)) -v hz="$hz" -v n="$completed" \
      'BEGIN { if (n > 0) printf "%.1f", t * 1e6 / hz / n; else print "nan" }')
    # Latency at a fixed rate below the peak.
    ((qps > 0 && rate > qps * 7 / 10)) && rate=$((qps * 7 / 10))
    if [[ $workload == miss ]]; then
      miss_slice $((rate * 3)) "$names"
      loop=(-n 1)
    else
      loop=(-l 2)
    fi
    "${client_cpu[@]}" dnsperf -s 127.0.0.1 -p "$p" -d "$names" -Q "$rate" -v "${loop[@]}" \
      2>/dev/null | awk '/^>/ {print $NF}' >"$work/latency.txt"
    read -r p50 p99 < <(percentiles "$work/latency.txt")
    echo "$server,$workload,$qps,$cpu_us,$p50,$p99,$lost"
  done
done
