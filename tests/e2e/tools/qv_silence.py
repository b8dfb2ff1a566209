#!/usr/bin/python3
"""Tunnel ends for the half-close and idle-limit tests.

  target  --addr A --port P [--lifetime S]
          accepts connections, never sends a byte and never closes one (a
          target that stays silent after its client has gone)
  open    --proxy H:P --src A --target H:P --count N --ready FILE
          [--close | --hold S] [--echo-every S]
          opens N tunnels through the proxy; with --close it closes each at
          once after the 200; with --hold it keeps them and reports, as JSON,
          how many the proxy ended (end of stream) and how many seconds after
          their 200;
          with --echo-every one more tunnel sends a byte that often for the
          whole hold and must stay open.

Standard library only; every wait is bounded.
"""
import argparse
import json
import socket
import sys
import threading
import time


def target(a):
    ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ls.bind((a.addr, a.port))
    ls.listen(1024)
    held = []
    ls.settimeout(1.0)
    end = time.monotonic() + a.lifetime
    while time.monotonic() < end:
        try:
            c, _ = ls.accept()
            held.append(c)   # kept open, never read from, never written to
        except socket.timeout:
            pass


def tunnel(a, target):
    host, port = a.proxy.split(":")
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind((a.src, 0))
    s.settimeout(60)
    s.connect((host, int(port)))
    s.sendall(b"CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (target.encode(), target.encode()))
    head = b""
    while b"\r\n\r\n" not in head:
        b = s.recv(1)
        if not b:
            raise OSError("proxy closed before the 200")
        head += b
    if not head.startswith(b"HTTP/1.1 200 "):
        raise OSError("no 200: %r" % head[:40])
    return s


def ouvre(a):
    out = {"opened": 0, "ended": 0, "still_open": 0, "errors": []}
    tunnels = []
    for _ in range(a.count):
        try:
            tunnels.append((tunnel(a, a.target), time.monotonic()))
            out["opened"] += 1
        except OSError as e:
            out["errors"].append(str(e))
    echo = None
    if a.echo_every > 0:
        echo = tunnel(a, a.echo_target)
    t0 = time.monotonic()
    open(a.ready, "w").close()
    if a.close:
        for s, _ in tunnels:
            s.close()
        print(json.dumps(out))
        return
    ends = []
    lock = threading.Lock()

    # Each tunnel's time counts from its own 200: opening them all may take
    # a while on a loaded machine.
    def watch(s, ouvert):
        s.settimeout(a.hold)
        try:
            if s.recv(1) == b"":
                with lock:
                    ends.append(time.monotonic() - ouvert)
        except (socket.timeout, OSError):
            pass

    threads = [threading.Thread(target=watch, args=st) for st in tunnels]
    for t in threads:
        t.start()
    echo_ok = True
    if echo is not None:
        echo.settimeout(30)
        while time.monotonic() - t0 < a.hold:
            try:
                echo.sendall(b"x")
                if echo.recv(1) != b"x":
                    echo_ok = False
                    break
            except OSError:
                echo_ok = False
                break
            time.sleep(a.echo_every)
    for t in threads:
        t.join(a.hold + 30)
    out["ended"] = len(ends)
    out["still_open"] = out["opened"] - len(ends)
    out["first_end_s"] = round(min(ends), 2) if ends else -1
    out["last_end_s"] = round(max(ends), 2) if ends else -1
    out["echo_alive"] = echo_ok if echo is not None else None
    print(json.dumps(out))


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="mode", required=True)
    t = sub.add_parser("target")
    t.add_argument("--addr", required=True)
    t.add_argument("--port", type=int, required=True)
    t.add_argument("--lifetime", type=float, default=300)
    o = sub.add_parser("open")
    o.add_argument("--proxy", required=True)
    o.add_argument("--src", required=True)
    o.add_argument("--target", required=True)
    o.add_argument("--echo-target", default="")
    o.add_argument("--count", type=int, default=100)
    o.add_argument("--ready", required=True)
    o.add_argument("--close", action="store_true")
    o.add_argument("--hold", type=float, default=30)
    o.add_argument("--echo-every", type=float, default=0)
    a = p.parse_args()
    target(a) if a.mode == "target" else ouvre(a)


if __name__ == "__main__":
    sys.exit(main())
