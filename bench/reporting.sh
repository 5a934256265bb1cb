#!/usr/bin/env bash
# Reporting benchmark, real time (time scale 1), optimised build, on a simulated router inside a
# private user+mount+pid+network namespace:
#   idle      the agent provisioned and otherwise idle with events, telemetry and journal at their
#             default periods for BENCH_IDLE_SECONDS (600): average CPU (% of one core), RSS growth
#             and unique set size (private memory, /proc/PID/smaps_rollup).
#   flood     BENCH_FLOOD_RATE (20000) syslog datagrams per second for BENCH_FLOOD_SECONDS (10)
#             into the log socket: datagrams sent, records published, records counted as dropped
#             by the rate budget (published + dropped must equal what the journal read), agent CPU
#             and RSS over the flood.
#   telemetry size of the telemetry messages the cloud recorded (the 60-client, 8-interface
#             figure comes from the reporting unit test: TelemetryMessage.FullMessage...).
#
#   bench/reporting.sh            (BENCH_IDLE_SECONDS=60 BENCH_FLOOD_SECONDS=3 for a short run)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
if [[ -z "${ZC_BENCH_INSIDE:-}" ]]; then
  build=${BENCH_BUILD:-build/bench}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUNCORE_TESTS=OFF \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
  cmake --build "$build" -j "$(nproc)" --target zuncore zunsim cloudsim | tail -1
  work=$(mktemp -d /tmp/zc-bench-report-XXXXXX)
  trap 'rm -rf "$work"' EXIT
  R=$work/router
  ZUNCORE_ROOT=$R "$build/sim/zunsim" init --agent "$repo/$build/src/main/zuncore" >/dev/null
  ZC_BENCH_INSIDE=1 ZC_BENCH_BUILD="$repo/$build" ZC_BENCH_WORK="$work" ZUNCORE_ROOT=$R \
    "$build/sim/zunsim" netns-exec --pidns -- "$repo/bench/reporting.sh"
  exit $?
fi

build=$ZC_BENCH_BUILD
work=$ZC_BENCH_WORK
R=$ZUNCORE_ROOT
cloud=$work/cloud
log=$work/zuncore.log
idle=${BENCH_IDLE_SECONDS:-600}
flood_secs=${BENCH_FLOOD_SECONDS:-10}
flood_rate=${BENCH_FLOOD_RATE:-20000}
tick=$(getconf CLK_TCK)

mkdir -p "$cloud"
"$build/cloudsim/cloudsim" --workdir "$cloud" --root "$R" --mac 02:5A:00:00:00:01 \
  >"$cloud/cloudsim.out" 2>&1 &
for _ in $(seq 300); do grep -q READY "$cloud/cloudsim.out" 2>/dev/null && break; sleep 0.1; done
control_port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["control"])' \
  "$cloud/ports.json")
env ZUNCORE_ROOT="$R" PATH="$R/bin:/usr/sbin:/usr/bin:/sbin:/bin" TZ=UTC \
  ZUNCORE_PROBE_HOST=127.0.0.1 ZUNCORE_PROBE_PORT=9 LD_LIBRARY_PATH="$build/sim" \
  "$R/bin/zuncore" >"$log" 2>&1 &
agent=$!
for _ in $(seq 1200); do grep -q ZUNCORE_SUBMODULE_INIT_DONE "$log" && break; sleep 0.1; done
grep -q ZUNCORE_SUBMODULE_INIT_DONE "$log" || { echo "agent not provisioned"; tail -20 "$log"; exit 1; }
sleep 5 # the first snapshot and telemetry pass

cpu_ticks() { awk '{print $14 + $15}' "/proc/$agent/stat"; }
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$agent/status"; }
uss_kb() { awk '/^Private_(Clean|Dirty)/ {s += $2} END {print s}' "/proc/$agent/smaps_rollup"; }
count() {
  curl -s "http://127.0.0.1:$control_port/v1/records?$1" |
    python3 -c 'import json,sys; print(len(json.load(sys.stdin)))'
}

echo "metric,value,unit"
c0=$(cpu_ticks); r0=$(rss_kb); t0=$(date +%s.%N)
sleep "$idle"
c1=$(cpu_ticks); r1=$(rss_kb); t1=$(date +%s.%N)
awk -v c="$((c1 - c0))" -v hz="$tick" -v t0="$t0" -v t1="$t1" \
  'BEGIN {printf "idle_cpu,%.3f,%% of one core over %.0f s\n", 100 * c / hz / (t1 - t0), t1 - t0}'
echo "idle_rss_growth,$((r1 - r0)),kB"
echo "idle_rss,$r1,kB"
echo "idle_uss,$(uss_kb),kB"
echo "events_acked,$(count 'subject=zt.event&match=answered.mode=reply'),messages"
echo "telemetry_messages,$(count 'subject=zt.telemetry'),messages"
curl -s "http://127.0.0.1:$control_port/v1/records?subject=zt.telemetry" | python3 -c '
import json, sys
sizes = [r.get("size", 0) for r in json.load(sys.stdin)]
if sizes: print(f"telemetry_size_max,{max(sizes)},bytes (limit 1048576)")'

before=$(count 'subject=zt.log&match=decoded.module=flood')
c0=$(cpu_ticks); r0=$(rss_kb)
sent=$(python3 - "$R/dev/log" "$flood_rate" "$flood_secs" <<'PY'
import socket, sys, time
path, rate, secs = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.settimeout(1.0)
sent, start = 0, time.monotonic()
msg = b"<14>flood[7]: benchmark line"
while True:
    now = time.monotonic() - start
    if now >= secs: break
    due = int(now * rate)
    while sent < due:
        try:
            s.sendto(msg, path); sent += 1
        except OSError:
            break
    time.sleep(0.001)
print(sent)
PY
)
sleep 3
c1=$(cpu_ticks); r1=$(rss_kb)
published=$(($(count 'subject=zt.log&match=decoded.module=flood') - before))
dropped=$(grep -o 'records dropped over the rate budget so far' -B0 "$log" >/dev/null &&
  grep 'records dropped over the rate budget so far' "$log" | tail -1 |
  sed -E 's/.*: ([0-9]+) records dropped.*/\1/' || echo 0)
echo "flood_sent,$sent,datagrams in ${flood_secs} s"
echo "flood_published,$published,records"
echo "flood_dropped_reported,$dropped,records (logged when the next record passes)"
awk -v c="$((c1 - c0))" -v hz="$tick" -v s="$flood_secs" \
  'BEGIN {printf "flood_cpu,%.1f,%% of one core\n", 100 * c / hz / (s + 3)}'
echo "flood_rss_growth,$((r1 - r0)),kB"
kill -0 "$agent" 2>/dev/null && echo "agent_alive,1," || echo "agent_alive,0,"
kill -TERM "$agent" 2>/dev/null || true
wait "$agent" 2>/dev/null || true
