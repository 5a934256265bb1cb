#!/usr/bin/env bash
# Configuration intake under load: 500 configuration envelopes (Wi-Fi changes that need nothing
# applied or are refused, refused LAN changes, LED, provisioning code and unknown commands; none
# reboots) pushed by the cloud simulator on four command subjects within 5 s of agent time.
# Checks that every envelope is answered exactly once under its own transaction id and that the
# agent's RSS grows by at most 2 MiB; prints the answers' p50/p99 latency in agent time.
#
#   bench/config_intake.sh [--scale S] [--count N]
#
# Uses the release tree of scripts/demo (build/demo), building what it needs. Runs inside a
# private user+network+pid namespace like the demo; needs unprivileged user namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
scale=0.5
count=500
while (($#)); do
  case "$1" in
    --scale) scale=$2; shift ;;
    --count) count=$2; shift ;;
    --inside) inside=1 ;;
    *) echo "usage: bench/config_intake.sh [--scale S] [--count N]"; exit 2 ;;
  esac
  shift
done

if [ -z "${inside:-}" ]; then
  build=build/demo
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUNCORE_TESTS=OFF \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
  cmake --build "$build" -j 2 --target zuncore zunsim cloudsim | tail -1
  work=$(mktemp -d /tmp/zc-bench-config-XXXXXX)
  trap 'rm -rf "$work"' EXIT
  ZUNCORE_ROOT=$work/router "$build/sim/zunsim" init --agent "$repo/$build/src/main/zuncore" >/dev/null
  ZC_BENCH_BUILD="$repo/$build" ZC_BENCH_WORK="$work" ZUNCORE_ROOT=$work/router \
    "$build/sim/zunsim" netns-exec --pidns -- "$repo/bench/config_intake.sh" --inside \
    --scale "$scale" --count "$count"
  exit $?
fi

build=$ZC_BENCH_BUILD
work=$ZC_BENCH_WORK
R=$ZUNCORE_ROOT
cloud=$work/cloud
mkdir -p "$cloud"
ZUNCORE_TIME_SCALE=$scale "$build/cloudsim/cloudsim" --workdir "$cloud" --root "$R" \
  --mac 02:5A:00:00:00:01 >"$cloud/cloudsim.out" 2>&1 &
for _ in $(seq 300); do grep -q READY "$cloud/cloudsim.out" 2>/dev/null && break; sleep 0.1; done
env ZUNCORE_ROOT="$R" PATH="$R/bin:/usr/sbin:/usr/bin:/sbin:/bin" ZUNCORE_TIME_SCALE="$scale" \
  TZ=UTC ZUNCORE_PROBE_HOST=127.0.0.1 ZUNCORE_PROBE_PORT=9 LD_LIBRARY_PATH="$build/sim" \
  "$R/bin/zuncore" >"$work/agent.log" 2>&1 &
agent=$!
for _ in $(seq 600); do
  grep -q "Listening on 'zt.fw.debug" "$work/agent.log" 2>/dev/null && break
  sleep 0.1
done
sleep 1

set +e
python3 - "$cloud/control.sock" "$agent" "$count" "$scale" "$build/sim/zunsim" <<'PY'
import json, socket, subprocess, sys, threading, time

sock_path, agent, count, scale = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
zunsim = sys.argv[5]

def call(method, path, body=None):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(sock_path)
    data = json.dumps(body).encode() if body is not None else b""
    s.sendall(f"{method} {path} HTTP/1.1\r\nHost: cloudsim\r\nConnection: close\r\n"
              f"Content-Length: {len(data)}\r\n\r\n".encode() + data)
    out = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        out += chunk
    s.close()
    return json.loads(out.split(b"\r\n\r\n", 1)[1] or b"null")

def rss_kib():
    with open(f"/proc/{agent}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0

def envelope(i):
    t = f"b{i}"
    kind = i % 6
    if kind == 0:   # Wi-Fi: the SSID it already has (nothing applied)
        return {"_ssidpwd": {"transid": t, "config": [{"wlan_interface": "wlan0", "ssid": SSID}]}}
    if kind == 1:   # Wi-Fi refused before any change
        return {"_ssidpwd": {"transid": t, "config": [{"wlan_interface": "wlan0", "passphrase": "short"}]}}
    if kind == 2:   # LAN refused (non-contiguous mask): no reboot
        return {"_lanconfig": {"transid": t, "_landhcpconfig": {
            "lanipaddr": "10.0.0.1", "subnetmask": "255.0.255.0", "startip": "10.0.0.10",
            "endip": "10.0.0.20", "landhcpgwip": "10.0.0.1", "leasetime": 60}}}
    if kind == 3:
        return {"_cmd": {"transid": t, "command": "ON_LED", "data": ""}}
    if kind == 4:
        return {"_cmd": {"transid": t, "command": "SET_PROV_CODE", "data": "MNGD.AGNT.PROV"}}
    return {"_cmd": {"transid": t, "command": "NOP", "data": ""}}

# The SSID wlan0 has now (so the Wi-Fi change applies nothing and waits for nothing).
SSID = subprocess.run([zunsim, "flash", "get", "WLAN_MBSSIB_TBL.0.ssid"], capture_output=True,
                      text=True).stdout.strip() or "zuncore"

call("POST", "/v1/push", {"to": "commandGroup:0", "await": {"timeout_ms": 60000},
                          "envelope": {"_cmd": {"transid": "warm", "command": "ON_LED", "data": ""}}})
rss_before = rss_kib()
targets = ["commandGroup:0", "commandGroup:1", "logicalLocation", "debugCLI:0"]
window = 5.0 * scale  # 5 s of agent time, in real seconds
start = time.monotonic()

def worker(k):
    for i in range(k, count, 4):
        due = start + window * i / count
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        call("POST", "/v1/push", {"to": targets[k], "envelope": envelope(i), "request": False})

threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
sent_agent_s = (time.monotonic() - start) / scale
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    answers = call("GET", "/v1/records?type=CONFIGRESP")
    if sum(1 for a in answers if (a.get("decoded") or {}).get("transid", "").startswith("b")) >= count:
        break
    time.sleep(0.2)
time.sleep(0.5)
rss_after = rss_kib()

pushes = {}
for r in call("GET", "/v1/records?kind=sim.push"):
    d = r.get("decoded") or {}
    for member in d.values():
        if isinstance(member, dict) and "transid" in member:
            pushes[member["transid"]] = r["agent_ms"]
counts, latency = {}, []
for a in call("GET", "/v1/records?type=CONFIGRESP"):
    t = (a.get("decoded") or {}).get("transid", "")
    if not t.startswith("b"):
        continue
    counts[t] = counts.get(t, 0) + 1
    if counts[t] == 1 and t in pushes:
        latency.append(a["agent_ms"] - pushes[t])
missing = [f"b{i}" for i in range(count) if counts.get(f"b{i}", 0) == 0]
twice = [t for t, n in counts.items() if n > 1]
latency.sort()
pct = lambda p: latency[min(len(latency) - 1, int(p * len(latency)))] if latency else -1
kinds = ["wifi-same", "wifi-refused", "lan-refused", "led", "prov-code", "unknown"]
by_kind = {}
for a in call("GET", "/v1/records?type=CONFIGRESP"):
    t = (a.get("decoded") or {}).get("transid", "")
    if t.startswith("b") and t in pushes:
        by_kind.setdefault(kinds[int(t[1:]) % 6], []).append(a["agent_ms"] - pushes[t])
for k in kinds:
    v = sorted(by_kind.get(k, [-1]))
    print(f"  {k:13s} n={len(v):3d} p50={v[len(v) // 2]} max={v[-1]}")
growth = (rss_after - rss_before) / 1024
print(f"envelopes={count} pushed_in_agent_s={sent_agent_s:.2f} answered={len(counts)} "
      f"missing={len(missing)} answered_twice={len(twice)}")
print(f"latency_agent_ms p50={pct(0.50)} p99={pct(0.99)}  rss_growth_mib={growth:.2f}")
ok = not missing and not twice and growth <= 2.0 and sent_agent_s <= 5.5
print("PASS" if ok else "FAIL")
sys.exit(0 if ok else 1)
PY
status=$?
kill "$agent" 2>/dev/null || true
exit $status
