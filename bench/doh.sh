#!/usr/bin/env bash
# DNS-over-HTTPS miss path: zuncore-dns forwarding unique names to one DoH upstream (dnsdist in
# front of the echo responder) over HTTP/1.1 (the default) and over HTTP/2 (-http2), one
# connection each, in one run on the loopback of a private network namespace. Prints one CSV:
#
#   protocol,peak_qps,loss_pct,zuncore_cpu_us_per_query,dnsdist_cpu_us_per_query,p50_ms,p99_ms
#
# Peak: dnsperf with BENCH_DOH_OUTSTANDING (200) queries in flight for --seconds; p50/p99 at a
# fixed BENCH_DOH_RATE (2000 qps). zuncore-dns runs on CPU 1; dnsdist, dnsperf and the echo
# responder on CPU 0 (the figures are ratios within one run, not absolutes).
#
#   bench/doh.sh [--seconds N]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${BENCH_SECONDS:-5}
while (($#)); do
  case "$1" in
    --seconds) seconds=$2; shift ;;
    *) echo "usage: bench/doh.sh [--seconds N]" >&2; exit 2 ;;
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
  exec unshare "$unshare_flags" "$0" --seconds "$seconds"
fi

ip link set lo up
work=$(mktemp -d /tmp/zc-bench-doh-XXXXXX)
declare -A pid=()
cleanup() {
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
outstanding=${BENCH_DOH_OUTSTANDING:-200}
rate=${BENCH_DOH_RATE:-2000}
echo_port=5399 dns_port=5301 doh_port=8443 dnsdist_port=5310

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
per_query() { awk -v t="$1" -v hz="$hz" -v n="$2" \
  'BEGIN { if (n > 0) printf "%.1f", t * 1e6 / hz / n; else print "nan" }'; }
wait_dns() {  # <port> <name>
  for _ in $(seq 100); do
    dig +time=1 +tries=1 +short @127.0.0.1 -p "$1" "$2" 2>/dev/null | grep -q . && return 0
    sleep 0.1
  done
  echo "bench/doh.sh: no answer on port $1" >&2
  return 1
}

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj /CN=doh.bench -addext subjectAltName=IP:127.0.0.1 \
  -keyout "$work/doh.key" -out "$work/doh.pem" >/dev/null 2>&1

"${client_cpu[@]}" "$BENCH_BUILD/bench/echo_responder" "$echo_port" &
pid[echo]=$!
cat >"$work/dnsdist.conf" <<EOF
setLocal("127.0.0.1:$dnsdist_port")
newServer({address="127.0.0.1:$echo_port", checkName="a.bench.example."})
addDOHLocal("127.0.0.1:$doh_port", "$work/doh.pem", "$work/doh.key", "/dns-query")
setSecurityPollSuffix("")
EOF
"${client_cpu[@]}" dnsdist --supervised --disable-syslog -C "$work/dnsdist.conf" \
  >"$work/dnsdist.log" 2>&1 &
pid[dnsdist]=$!
wait_dns "$dnsdist_port" a.bench.example

next=1
slice() {  # <count> <file>: names never asked before
  seq "$next" $((next + $1 - 1)) | awk '{print "d" $1 ".bench.example A"}' >"$2"
  next=$((next + $1))
}

echo "protocol,peak_qps,loss_pct,zuncore_cpu_us_per_query,dnsdist_cpu_us_per_query,p50_ms,p99_ms"
for protocol in http1.1 http2; do
  option=""
  [[ $protocol == http2 ]] && option="-http2"
  mkdir -p "$work/root/tmp"
  cat >"$work/root/tmp/zundns.conf" <<EOF
bind 127.0.0.1:$dns_port
server-https https://127.0.0.1:$doh_port/dns-query -no-check-certificate $option
speed-check-mode none
log-level error
cache-size 200000
EOF
  ZUNCORE_ROOT=$work/root "${server_cpu[@]}" "$BENCH_BUILD/src/dns/standalone/zuncore-dns" \
    >>"$work/zuncore-$protocol.log" 2>&1 &
  pid[zuncore]=$!
  wait_dns "$dns_port" "warm-$protocol.bench.example"

  slice 600000 "$work/peak.txt"
  z0=$(cpu_ticks "${pid[zuncore]}") d0=$(cpu_ticks "${pid[dnsdist]}")
  read -r done qps lost < <("${client_cpu[@]}" dnsperf -s 127.0.0.1 -p "$dns_port" \
    -d "$work/peak.txt" -n 1 -l "$seconds" -q "$outstanding" 2>/dev/null |
    awk '/Queries completed:/ {c=$3} /Queries lost:/ {l=$4; gsub(/[()%]/, "", l)}
         /Queries per second:/ {q=$4} END {printf "%d %.0f %s\n", c, q, l}')
  z1=$(cpu_ticks "${pid[zuncore]}") d1=$(cpu_ticks "${pid[dnsdist]}")

  slice $((rate * 3)) "$work/rate.txt"
  read -r p50 p99 < <("${client_cpu[@]}" dnsperf -s 127.0.0.1 -p "$dns_port" \
    -d "$work/rate.txt" -n 1 -l 3 -Q "$rate" -v 2>/dev/null |
    awk '/^>/ {print $NF}' | sort -g | awk '{v[NR]=$1} END {
      if (NR == 0) { print "nan nan"; exit }
      i50=int(NR*0.50); if (i50<1) i50=1; i99=int(NR*0.99); if (i99<1) i99=1;
      printf "%.3f %.3f\n", v[i50]*1000, v[i99]*1000 }')
  echo "$protocol,$qps,$lost,$(per_query $((z1 - z0)) "$done"),$(per_query $((d1 - d0)) "$done"),$p50,$p99"
  kill "${pid[zuncore]}"
  wait "${pid[zuncore]}" 2>/dev/null || true
  unset 'pid[zuncore]'
done
