#!/usr/bin/python3
"""Clients for fault_caps_e2e.sh, the connection limits of the tunnel port.

Subcommands (each prints one JSON object on standard output):

  silent   --count connections that never send a byte, kept at that count
           for --seconds: one closed by the proxy is opened again (--rate a
           second, at most --max-reconnects times); writes --ready once the
           first --count are connected
  tunnel   one tunnel: seconds from connect to its 200, and an echoed byte
  perclient --count tunnels held from one address, then one connection more
           whose whole answer (up to the close) is returned, hex-encoded, and
           a tunnel from --other-src while they are held

Every loop is bounded in count and time; every socket has a timeout.
Standard library only.
"""
import argparse
import json
import selectors
import socket
import sys
import time


def hostport(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


def connect_from(src, dest, timeout=10.0):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    try:
        s.bind((src, 0))
        s.connect(dest)
    except OSError:
        s.close()
        raise
    return s


def request(target):
    return ("CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (target, target)).encode()


def read_head(s, timeout):
    s.settimeout(timeout)
    buf = b""
    while b"\r\n\r\n" not in buf and len(buf) < 65536:
        chunk = s.recv(4096)
        if not chunk:
            break
        buf += chunk
    return buf


def read_all(s, timeout):
    """Everything until the close (a reset ends it too)."""
    s.settimeout(timeout)
    buf = b""
    while len(buf) < 1 << 20:
        try:
            chunk = s.recv(4096)
        except (ConnectionResetError, socket.timeout):
            break
        if not chunk:
            break
        buf += chunk
    return buf


def silent(a):
    proxy = hostport(a.proxy)
    sel = selectors.DefaultSelector()
    opened = closed = failed = 0

    def open_one():
        nonlocal opened, failed
        try:
            s = connect_from(a.src, proxy)
        except OSError:
            failed += 1
            return
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ)
        opened += 1

    for _ in range(a.count):
        open_one()
    with open(a.ready, "w") as f:
        f.write("%d\n" % opened)
    end = time.monotonic() + a.seconds
    owed = reopened = 0
    next_open = time.monotonic()
    while time.monotonic() < end:
        # Closed ones are opened again at --rate a second at most, so the
        # attack lasts the whole run instead of spending itself at once.
        while owed and reopened < a.max_reconnects and time.monotonic() >= next_open:
            open_one()
            owed -= 1
            reopened += 1
            next_open = max(next_open, time.monotonic() - 0.1) + 1.0 / a.rate
        wait = 0.01 if owed and reopened < a.max_reconnects else 0.5
        for key, _ in sel.select(max(0.0, min(wait, end - time.monotonic()))):
            s = key.fileobj
            try:
                data = s.recv(4096)
            except BlockingIOError:
                continue
            except OSError:
                data = b""
            if data:
                continue        # an answer before the close: read on
            sel.unregister(s)
            s.close()
            closed += 1
            owed += 1
    held = len(sel.get_map())
    for key in list(sel.get_map().values()):
        key.fileobj.close()
    print(json.dumps({"opened": opened, "closed_by_proxy": closed, "connect_failed": failed,
                      "held_at_end": held}))
    return 0


def tunnel(a):
    t0 = time.monotonic()
    try:
        s = connect_from(a.src, hostport(a.proxy), a.timeout)
        s.sendall(request(a.target))
        head = read_head(s, a.timeout)
        t200 = time.monotonic() - t0
        status = head.split(b" ", 2)[1].decode() if head.startswith(b"HTTP/") else "none"
        echoed = False
        if status == "200":
            s.sendall(b"y")
            echoed = s.recv(1) == b"y"
        s.close()
    except OSError as e:
        print(json.dumps({"status": "error " + repr(e), "seconds": round(time.monotonic() - t0, 3),
                          "echoed": False}))
        return 1
    print(json.dumps({"status": status, "seconds": round(t200, 3), "echoed": echoed}))
    return 0


def perclient(a):
    proxy = hostport(a.proxy)
    held = []
    ok = 0
    for _ in range(a.count):
        try:
            s = connect_from(a.src, proxy, a.timeout)
            s.sendall(request(a.target))
            if read_head(s, a.timeout).startswith(b"HTTP/1.1 200 "):
                ok += 1
            held.append(s)
        except OSError:
            pass
    t0 = time.monotonic()
    try:
        s = connect_from(a.src, proxy, a.timeout)
        try:
            s.sendall(request(a.target))
        except OSError:
            pass
        answer = read_all(s, a.timeout)
        s.close()
    except OSError:
        answer = b""
    seconds = round(time.monotonic() - t0, 3)
    # Another address is another client: served while the 50 are held.
    other = "none"
    try:
        s = connect_from(a.other_src, proxy, a.timeout)
        s.sendall(request(a.target))
        head = read_head(s, a.timeout)
        other = head.split(b" ", 2)[1].decode() if head.startswith(b"HTTP/") else "no answer"
        s.close()
    except OSError as e:
        other = repr(e)
    for s in held:
        s.close()
    print(json.dumps({"tunnels": ok, "answer_hex": answer.hex(), "seconds": seconds,
                      "other_client": other}))
    return 0


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="cmd", required=True)
    for name in ("silent", "tunnel", "perclient"):
        q = sub.add_parser(name)
        q.add_argument("--proxy", required=True)
        q.add_argument("--src", required=True)
        q.add_argument("--timeout", type=float, default=15)
        if name == "silent":
            q.add_argument("--count", type=int, required=True)
            q.add_argument("--seconds", type=float, required=True)
            q.add_argument("--max-reconnects", type=int, default=5000)
            q.add_argument("--rate", type=float, default=500)
            q.add_argument("--ready", required=True)
        else:
            q.add_argument("--target", required=True)
        if name == "perclient":
            q.add_argument("--count", type=int, required=True)
            q.add_argument("--other-src", required=True)
    a = p.parse_args()
    return {"silent": silent, "tunnel": tunnel, "perclient": perclient}[a.cmd](a)


if __name__ == "__main__":
    sys.exit(main())
