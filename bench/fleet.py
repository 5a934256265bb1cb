#!/usr/bin/env python3
"""The fleet bench's run, inside the hub namespace bench/fleet made (see there)."""
import argparse
import http.client
import json
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timezone

NODES = ["10.7.0.1", "10.7.0.2", "10.7.0.3"]
CLIENT_PORT, ROUTE_PORT, MONITOR_PORT = 4222, 6222, 8222
SERVERS = ",".join(f"nats://{n}:{CLIENT_PORT}" for n in NODES)  # 62 characters: fits bstrapnats
KINDS = ("nats_msg_connection", "nats_cmd_connection", "nats_edge_connection")
TICKS = os.sysconf("SC_CLK_TCK")


def log(text):
    print(f"[{time.strftime('%H:%M:%S')}] {text}", flush=True)


def run(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw).stdout


def iso_ms(text):
    """Milliseconds since the epoch of an RFC 3339 time (nanoseconds and offsets allowed)."""
    m = re.match(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)(\.\d+)?(Z|[+-]\d\d:\d\d)$", text)
    if not m:
        return None
    frac = (m.group(2) or ".0")[:7].ljust(7, "0")
    zone = "+00:00" if m.group(3) == "Z" else m.group(3)
    t = datetime.fromisoformat(m.group(1) + frac + zone)
    return t.timestamp() * 1000


def device_id(text):
    hexes = re.sub(r"[:-]", "", text or "").upper()
    if not re.fullmatch(r"[0-9A-F]{12}", hexes):
        return None
    return ":".join(hexes[i:i + 2] for i in range(0, 12, 2))


def pct(values, p):
    if not values:
        return float("nan")
    s = sorted(values)
    return s[min(len(s) - 1, max(0, int(round(p / 100 * len(s) + 0.5)) - 1))]


class Node:
    def __init__(self, work, index, pki):
        self.ip = NODES[index]
        self.name = f"node{index + 1}"
        self.conf = f"{work}/{self.name}.conf"
        self.log = f"{work}/{self.name}.log"
        routes = ", ".join(f"nats-route://{n}:{ROUTE_PORT}" for n in NODES if n != self.ip)
        with open(self.conf, "w") as f:
            f.write(f"""server_name: {self.name}
listen: {self.ip}:{CLIENT_PORT}
http: {self.ip}:{MONITOR_PORT}
max_payload: 1048576
tls {{ cert_file: "{pki}/server.pem", key_file: "{pki}/server.key", timeout: 10 }}
cluster {{ name: fleet, listen: {self.ip}:{ROUTE_PORT}, routes: [{routes}] }}
""")
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(["nats-server", "-c", self.conf],
                                     stdout=open(self.log, "a"), stderr=subprocess.STDOUT)
        wait(lambda: port_open(self.ip, CLIENT_PORT), 20, f"{self.name} listening")

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()

    def get(self, path):
        c = http.client.HTTPConnection(self.ip, MONITOR_PORT, timeout=10)
        c.request("GET", path)
        return json.loads(c.getresponse().read())

    def connections(self):
        return self.get("/connz?limit=100000")["connections"] or []


def port_open(host, port):
    try:
        socket.create_connection((host, port), timeout=1).close()
        return True
    except OSError:
        return False


def wait(condition, seconds, what):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(0.2)
    raise SystemExit(f"fleet: timed out waiting for {what}")


class Cloud:
    def __init__(self, port):
        self.port = port

    def call(self, method, path, body=None, timeout=120):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        c.request(method, "/v1/" + path, json.dumps(body) if body is not None else None)
        r = c.getresponse()
        data = r.read()
        if r.status >= 300:
            raise SystemExit(f"fleet: cloudsim {method} {path}: {r.status} {data[:300]}")
        return json.loads(data) if data else None

    def records(self, query):
        return self.call("GET", "records?" + query)


def make_pki(pki):
    os.makedirs(pki)
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
        "/CN=fleet test CA", "-keyout", f"{pki}/ca.key", "-out", f"{pki}/ca.pem")
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=fleet", "-keyout",
        f"{pki}/server.key", "-out", f"{pki}/server.csr")
    with open(f"{pki}/ext", "w") as f:
        f.write("subjectAltName=" + ",".join(f"IP:{n}" for n in NODES + ["127.0.0.1"]) +
                "\nextendedKeyUsage=serverAuth\n")
    run("openssl", "x509", "-req", "-in", f"{pki}/server.csr", "-CA", f"{pki}/ca.pem", "-CAkey",
        f"{pki}/ca.key", "-CAcreateserial", "-days", "2", "-extfile", f"{pki}/ext", "-out",
        f"{pki}/server.pem")


class Agent:
    def __init__(self, work, index, build):
        self.index = index
        self.root = f"{work}/agents/{index}"
        self.mac12 = "025a1%07x" % index
        self.id = device_id(self.mac12)
        self.ip = f"10.7.{1 + (index - 1) // 250}.{(index - 1) % 250 + 1}"
        self.build = build
        self.pid = None
        self.proc = None
        self.started = None

    def prepare(self, https_port, ca):
        env = dict(os.environ, ZUNCORE_ROOT=self.root)
        zunsim = f"{self.build}/sim/zunsim"
        run(zunsim, "init", "--agent", f"{self.build}/src/main/zuncore", env=env)
        run(zunsim, "flash", "set", "ELAN_MAC_ADDR", self.mac12, env=env)
        run(zunsim, "flash", "set", "HW_SERIAL_NO", "ZFLT%08d" % self.index, env=env)
        with open(f"{self.root}/tmp/zun_url", "w") as f:
            f.write(f"https://{NODES[0]}:{https_port}\n")
        with open(f"{self.root}/tmp/bstrapnats", "w") as f:
            f.write(SERVERS + "\n")
        with open(f"{self.root}/tmp/cacert.pem", "a") as f:
            f.write(ca)

    def launch(self, scale, http_port):
        agent_env = {
            "ZUNCORE_ROOT": self.root, "PATH": f"{self.root}/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "ZUNCORE_TIME_SCALE": str(scale), "TZ": "UTC", "ZUNCORE_PROBE_HOST": "127.0.0.1",
            "ZUNCORE_PROBE_PORT": "9", "LD_LIBRARY_PATH": f"{self.build}/sim",
            "ZUNCORE_TIME_URL": f"http://{NODES[0]}:{http_port}/now"}
        exports = " ".join(f"{k}='{v}'" for k, v in agent_env.items())
        # The router namespace waits for its cable to the hub, then becomes the agent.
        script = (f"echo $$ > {self.root}/ns.pid; "
                  f"while [ ! -e {self.root}/ns.ready ]; do sleep 0.02; done; "
                  f"ip addr add {self.ip}/16 dev up0 && ip link set up0 up && "
                  f"exec env {exports} {self.root}/bin/zuncore > {self.root}/sim/log/zuncore.log 2>&1")
        self.proc = subprocess.Popen([f"{self.build}/sim/zunsim", "netns-exec", "--", "sh", "-c",
                                      script], env=dict(os.environ, ZUNCORE_ROOT=self.root),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def cable(self):
        """Connects the namespace to the hub once it exists; False while it does not yet."""
        try:
            with open(f"{self.root}/ns.pid") as f:
                self.pid = int(f.read().strip())
        except (OSError, ValueError):
            return False
        run("ip", "link", "add", f"h{self.index}", "type", "veth", "peer", "name", "up0", "netns",
            str(self.pid))
        run("ip", "link", "set", f"h{self.index}", "master", "fleet0", "up")
        open(f"{self.root}/ns.ready", "w").close()
        return True

    def cpu_ticks(self):
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])

    def memory_kb(self):
        out = {}
        with open(f"/proc/{self.pid}/status") as f:
            for line in f:
                k, _, v = line.partition(":")
                if k in ("VmRSS", "VmHWM", "Threads"):
                    out[k] = int(v.split()[0])
        return out

    def agent_log(self):
        with open(f"{self.root}/sim/log/zuncore.log", errors="replace") as f:
            return f.read()


def open_connections(nodes):
    """Device -> {connection kind: (node, start ms)} over the live nodes."""
    out = {}
    for node in nodes:
        for c in node.connections():
            name = c.get("name") or ""
            dev, _, kind = name.partition("-")
            dev = device_id(dev)
            if dev and kind in KINDS:
                out.setdefault(dev, {})[kind] = (node.name, iso_ms(c["start"]))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--agents", type=int, default=200)
    ap.add_argument("--scale", type=float, default=0.2)
    ap.add_argument("--build", required=True)
    ap.add_argument("--wave", type=int, default=10)
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="zc-fleet-")
    log(f"work folder {work}; {a.agents} agents, time scale {a.scale}")
    run("ip", "link", "set", "lo", "up")
    run("ip", "link", "add", "fleet0", "type", "bridge")
    run("ip", "link", "set", "fleet0", "up")
    for n in NODES:
        run("ip", "addr", "add", f"{n}/16", "dev", "fleet0")
    pki = f"{work}/pki"
    make_pki(pki)
    ca = open(f"{pki}/ca.pem").read()

    nodes = [Node(work, i, pki) for i in range(3)]
    for n in nodes:
        n.start()
    wait(lambda: all(n.get("/routez")["num_routes"] >= 2 for n in nodes), 30, "cluster routes")
    log("cluster up: 3 nodes, each routed to the other two")

    os.makedirs(f"{work}/cloud")
    cloud_out = f"{work}/cloud/cloudsim.out"
    cloud_proc = subprocess.Popen(
        [f"{a.build}/cloudsim/cloudsim", "--workdir", f"{work}/cloud", "--pki", pki,
         "--nats-url", SERVERS, "--tls", "--ca",
         f"{pki}/ca.pem", "--listen-address", NODES[0], "--mac", "02:5A:10:00:00:01"],
        stdout=open(cloud_out, "w"), stderr=subprocess.STDOUT,
        env=dict(os.environ, ZUNCORE_TIME_SCALE=str(a.scale)))
    wait(lambda: "READY" in open(cloud_out).read(), 30, "cloudsim")
    ports = json.load(open(f"{work}/cloud/ports.json"))
    cloud = Cloud(ports["control"])
    info = [{"cluster_name": c, "url": SERVERS[len("nats://"):].rsplit(":", 1)[0], "ip": NODES[0],
             "port": CLIENT_PORT, "ping_interval_in_seconds": 30, "max_ping": 4,
             "tls_enabled": True} for c in ("MESSAGE", "COMMAND", "EDGE")]
    cloud.call("PUT", "signon", {"connection_info": info})
    # The bootstrap answer names the firmware-validation server: the whole cluster too.
    https = f"https://{NODES[0]}:{ports['https']}"
    cloud.call("PUT", "bootstrap", {"answers": [], "then": {"status": 200, "body": {
        "provisioningCode": "MNGD.AGNT.PROV", "logicalLocation": "zt.dll.025a10000001",
        "subscriberId": "sub-0001",
        "connectionInfo": {
            "url": SERVERS, "tlsEnabled": True, "maxRetryCount": 3, "subject": "zt.fw.validate",
            "journalSubject": "zt.journal.boot", "idleDeviceSubject": "zt.idle.025a10000001",
            "subscriptionSuspendedSubject": "zt.suspended.025a10000001",
            "subscriptionExpiredBootstrapUrl": f"{https}/renew"},
        "wanConnection": "NONE",
        "cwmpConfig": {"acsUrl": "https://acs.test/cwmp", "username": "acs", "password": "acs-pass",
                       "periodicInterval": 3600},
        "wanConfig": {
            "mode": "ROUTE", "ipProtocolMode": "IPV4", "ipMode": "DHCP", "NATEnabled": 1,
            "VLANEnabled": 0, "VLANId": 0, "priority": 0, "MTU": 1500, "serviceMode": "INTERNET",
            "static": {"externalIpAddress": "0.0.0.0", "subnetMask": "0.0.0.0",
                       "defaultGateway": "0.0.0.0", "primaryDNS": "0.0.0.0",
                       "secondaryDNS": "0.0.0.0"},
            "PPPoE": {"username": "none", "password": "none", "serviceName": "none",
                      "PPPType": "none"}}}}})

    agents = [Agent(work, i, a.build) for i in range(1, a.agents + 1)]
    t = time.time()
    for ag in agents:
        ag.prepare(ports["https"], ca)
    log(f"{len(agents)} router roots made in {time.time() - t:.1f} s")

    # The sign-on storm: every agent started at once.
    # Namespaces are made in waves: a few hundred made at once spend minutes in the kernel's
    # network locks before any agent runs.
    t0 = time.time()
    for w in range(0, len(agents), a.wave):
        wave = agents[w:w + a.wave]
        for ag in wave:
            ag.launch(a.scale, ports["http"])
        pending = list(wave)
        while pending:
            pending = [ag for ag in pending if not ag.cable()]
            time.sleep(0.02)
        for ag in wave:
            ag.started = time.time()
    launched = time.time()
    log(f"all {len(agents)} agents started and cabled in {launched - t0:.1f} s")
    ids = {ag.id for ag in agents}

    def signed_on():
        return {device_id(r["decoded"].get("mac")) for r in cloud.records("type=SignOnRequest")
                if r.get("decoded")} & ids

    wait(lambda: len(signed_on()) == len(ids), 240, "every agent's sign-on")
    signons = cloud.records("type=SignOnRequest")
    first_signon = {}
    for r in signons:
        d = device_id((r.get("decoded") or {}).get("mac"))
        if d in ids and d not in first_signon:
            first_signon[d] = iso_ms(r["time"])
    storm_signon = (max(first_signon.values()) / 1000) - t0
    # Each agent's own time from its start to its sign-on request.
    own = [first_signon[ag.id] / 1000 - ag.started for ag in agents]
    wait(lambda: sum(1 for d, k in open_connections(nodes).items()
                     if d in ids and len(k) == 3) == len(ids), 240, "every agent's connections")
    all_up = time.time()
    log(f"sign-on storm: all {len(ids)} signed on {storm_signon:.1f} s after the first start, "
        f"all three connections up after {all_up - t0:.1f} s")

    # Steady state: CPU from here to the end, memory at the end.
    cpu0 = {ag.index: ag.cpu_ticks() for ag in agents}
    steady0 = time.time()
    time.sleep(max(3.0, 60 * a.scale))  # at least one telemetry period

    def push(n):
        return cloud.call("POST", "push", {
            "to": "subject:zt.cmd.all", "request": False,
            "envelope": {"_ssidpwd": {"transid": f"fleet-{n}", "config": [
                {"wlan_interface": "wlan0", "ssid": f"fleet-{n}"}]}}})

    # A push in steady state reaches every agent; only then the node dies.
    push(1)
    wait(lambda: len({device_id(r["decoded"].get("deviceid"))
                      for r in cloud.records("type=CONFIGRESP&transid=fleet-1")} & ids) == len(ids),
         120, "every agent's answer to the first push")
    before = open_connections(nodes)
    victim_conns = [(d, kind) for d, k in before.items() if d in ids
                    for kind, (node, _) in k.items() if node == "node1"]
    victims = {d for d, _ in victim_conns}
    log(f"{len(victim_conns)} agent connections on node1 ({len(victims)} agents); killing it")
    kill_ms = time.time() * 1000
    nodes[0].kill()
    push(2)  # while a third of the fleet is reconnecting

    def moved():
        now = open_connections(nodes[1:])
        return all(len(now.get(d, {})) == 3 for d in ids), now

    wait(lambda: moved()[0], 120, "every agent back on node2/node3")
    after = moved()[1]
    reconnect = []
    for d, kind in victim_conns:
        node, start = after[d][kind]
        reconnect.append(start - kill_ms)
    log(f"every agent connection on node2/node3 again: reconnect p50 {pct(reconnect, 50):.0f} ms, "
        f"p99 {pct(reconnect, 99):.0f} ms, max {max(reconnect, default=0):.0f} ms "
        f"({len(reconnect)} connections)")

    nodes[0].start()
    wait(lambda: all(n.get("/routez")["num_routes"] >= 2 for n in nodes), 60, "routes again")
    log("node1 restarted and routed")
    push(3)
    time.sleep(max(3.0, 2 * 60 * a.scale))  # two telemetry periods and the events to settle
    steady_s = time.time() - steady0
    cpu = [(ag.cpu_ticks() - cpu0[ag.index]) / TICKS / steady_s * 100 for ag in agents]
    mem = [ag.memory_kb() for ag in agents]

    # Stop the agents (their exit path), then compare the simulator's counts with theirs.
    for ag in agents:
        os.kill(ag.pid, signal.SIGTERM)
    for ag in agents:
        try:
            ag.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.kill(ag.pid, signal.SIGKILL)
    time.sleep(1)
    events = cloud.records("type=APEvent")
    telemetry = cloud.records("type=Telemetry")
    resp = cloud.records("type=CONFIGRESP")
    by_dev = lambda rs, key: {d: [r for r in rs if device_id((r.get("decoded") or {}).get(key)) == d]
                              for d in ids}
    ev_by, tel_by = by_dev(events, "deviceId"), by_dev(telemetry, "deviceId")
    resp_by = by_dev(resp, "deviceid")
    lost_events = 0
    ack_total = ev_cloud_total = tel_cloud = 0
    gaps = []  # per agent: the longest time between two of its telemetry messages (agent clock)
    missing = {}
    diffs = []
    period = 60 * a.scale
    for ag in agents:
        text = ag.agent_log()
        acked = len(re.findall(r"Received msg: \S+ - ACK", text))
        distinct = {(r["decoded"] or {}).get("timestamp") for r in ev_by[ag.id]}
        lost_events += max(0, acked - len(distinct))
        ack_total += acked
        ev_cloud_total += len(distinct)
        stamps = sorted(iso_ms(r["decoded"]["timestamp"]) / 1000 for r in tel_by[ag.id]
                        if (r.get("decoded") or {}).get("timestamp"))
        tel_cloud += len(stamps)
        steps = [b - a_ for a_, b in zip(stamps, stamps[1:])]
        diffs += steps
        gaps.append(max(steps, default=float("inf")))
        got = {(r["decoded"] or {}).get("transid") for r in resp_by[ag.id]}
        for transid in {"fleet-1", "fleet-2", "fleet-3"} - got:
            missing.setdefault(transid, set()).add(ag.id)
    # A message lost across the node's death shows as a gap of about two periods: measured
    # against the spacing the agents actually keep (the period plus the time to collect).
    spacing = statistics.median(diffs) if diffs else period
    late = [g for g in gaps if g >= 1.8 * spacing]
    # The push made while node1 was down cannot reach a command connection that was on it (no
    # delivery to a disconnected subscriber); every other push must reach every agent.
    cmd_on_node1 = {d for d, kind in victim_conns if kind == "nats_cmd_connection"}
    missing_resp = len(missing.get("fleet-1", ())) + len(missing.get("fleet-3", ())) + \
        len(missing.get("fleet-2", set()) - cmd_on_node1)

    rss = [m.get("VmRSS", 0) for m in mem]
    hwm = [m.get("VmHWM", 0) for m in mem]
    threads = [m.get("Threads", 0) for m in mem]
    print()
    print(f"fleet: {len(agents)} agents, time scale {a.scale}, 3-node cluster, "
          f"{os.cpu_count()} CPUs shared with the rest of the machine")
    print(f"  sign-on storm      all signed on {storm_signon:.1f} s after the first start "
          f"(starting and cabling took {launched - t0:.1f} s); all 3 connections up after "
          f"{all_up - t0:.1f} s; each agent from its start to its sign-on: p50 "
          f"{pct(own, 50):.1f} s, p99 {pct(own, 99):.1f} s")
    print(f"  per-agent CPU      median {statistics.median(cpu):.2f} %, p99 {pct(cpu, 99):.2f} %, "
          f"max {max(cpu):.2f} % of one core over {steady_s:.0f} s of steady run "
          f"(sum {sum(cpu):.0f} %)")
    print(f"  per-agent memory   RSS median {statistics.median(rss) / 1024:.1f} MiB, max "
          f"{max(rss) / 1024:.1f} MiB; peak RSS median {statistics.median(hwm) / 1024:.1f} MiB, "
          f"max {max(hwm) / 1024:.1f} MiB; threads median {statistics.median(threads):.0f}")
    print(f"  node1 killed       {len(victim_conns)} connections of {len(victims)} agents on it; "
          f"all back on node2/node3: reconnect p50 {pct(reconnect, 50):.0f} ms, "
          f"p99 {pct(reconnect, 99):.0f} ms, max {max(reconnect, default=0):.0f} ms")
    print(f"  events             {ack_total} acknowledged by the agents, {ev_cloud_total} distinct "
          f"recorded; acknowledged but not recorded: {lost_events}")
    print(f"  telemetry          {tel_cloud} messages recorded; longest gap between two of one "
          f"agent's messages: median {statistics.median(gaps):.1f} s, max {max(gaps):.1f} s "
          f"(period {period:.0f} s, median spacing {spacing:.1f} s); agents with a gap of "
          f"two spacings: {len(late)}")
    signon_by = by_dev(cloud.records("type=SignOnRequest"), "mac")
    repeated = sum(1 for d in ids
                   if len({r["headers"].get("x-zun-client-trace-id") for r in signon_by[d]}) > 1)
    print(f"  sign-ons           {sum(len(v) for v in signon_by.values())} requests recorded; "
          f"agents that signed on more than once: {repeated}")
    print(f"  configuration      3 pushes to zt.cmd.all (the 2nd while node1 was down): "
          f"answers missing: 1st {len(missing.get('fleet-1', ()))}, 2nd "
          f"{len(missing.get('fleet-2', ()))} ({len(missing.get('fleet-2', set()) & cmd_on_node1)} "
          f"of them with the command connection on node1, of {len(cmd_on_node1)} such agents), "
          f"3rd {len(missing.get('fleet-3', ()))}")
    ok = lost_events == 0 and missing_resp == 0 and not late
    print(f"  result             {'PASS' if ok else 'FAIL'}; work folder {work}")
    cloud_proc.send_signal(signal.SIGTERM)
    try:
        cloud_proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        cloud_proc.kill()
    for n in nodes:
        if n.proc and n.proc.poll() is None:
            n.proc.terminate()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
