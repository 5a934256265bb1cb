#!/usr/bin/env python3
"""Hostile LAN host for the W11 bench row: holds many idle TCP connections to the server and,
for a bounded time, opens connections that pipeline two queries (answered only after a while:
their names go to a silent upstream), shut down their sending side and then reset the
connection while the answers are still pending.

    hostile_tcp.py <port> <idle connections> <resets per second> <seconds>
"""
import socket
import struct
import sys
import time


def query(name, qid):
    labels = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".") if p) + b"\0"
    msg = struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0) + labels + struct.pack(">HH", 1, 1)
    return struct.pack(">H", len(msg)) + msg


def main():
    port, idle, rate, seconds = (int(a) for a in sys.argv[1:5])
    held = []
    for _ in range(idle):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.connect(("127.0.0.1", port))
            held.append(s)
        except OSError:
            s.close()
    print(f"idle connections opened: {len(held)}", flush=True)
    end = time.monotonic() + seconds
    n = 0
    next_at = time.monotonic()
    while time.monotonic() < end:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.connect(("127.0.0.1", port))
            s.sendall(query(f"n3-{n}-a.slow.bench.example", n & 0xFFFF) +
                      query(f"n3-{n}-b.slow.bench.example", (n + 1) & 0xFFFF))
            s.shutdown(socket.SHUT_WR)
            time.sleep(0.01)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        s.close()  # with linger 0: a reset
        n += 1
        next_at += 1.0 / rate
        time.sleep(max(0.0, next_at - time.monotonic()))
    print(f"reset clients: {n}", flush=True)
    for s in held:
        s.close()


if __name__ == "__main__":
    main()
