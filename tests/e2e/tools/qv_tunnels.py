#!/usr/bin/env python3
"""Many tunnels held open, each with known byte counts both ways, for the
stop test. One process, one thread, sockets multiplexed with selectors.

    qv_tunnels.py target --listen ADDR:PORT
        Serves every connection: reads a 16-byte head "%08d%08d" (U, D),
        reads until U bytes came in all (the head included), then sends D
        bytes, then keeps the connection open, reading and dropping.

    qv_tunnels.py clients --src ADDR --proxy HOST:PORT --target HOST:PORT
                          --count N --report FILE [--dns HOST:PORT --dns-count K]
        Opens N tunnels (CONNECT, 200), sends U_i bytes through each (the
        head above first) and reads D_i back; with --dns, K TCP DNS
        connections that each send one query and read its whole answer.
        Then writes FILE, one line per connection ("ssl PORT U D" or
        "dns PORT U D", PORT the local source port), prints "ready", and
        holds every socket until each has been closed by the far end
        (prints "closed N") or 120 s pass. Any failure prints
        "FAILED: ..." and exits 1. Bounded: 300 s for the set-up.
"""
import argparse
import os
import selectors
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qv_client  # noqa: E402

MISE_EN_PLACE_S = 300.0
TENUE_S = 120.0


def tailles(i):
    """U (head included, at least 16) and D of tunnel i: varied, some D 0."""
    return 16 + (i * 7919) % 6000, (i * 104729) % 30000 if i % 10 else 0


def target(a):
    host, port = a.listen.rsplit(":", 1)
    l = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    l.bind((host, int(port)))
    l.listen(4096)
    l.setblocking(False)
    sel = selectors.DefaultSelector()
    sel.register(l, selectors.EVENT_READ, None)
    print("listening", flush=True)
    while True:
        for cle, ev in sel.select():
            if cle.data is None:
                try:
                    c, _ = l.accept()
                except BlockingIOError:
                    continue
                c.setblocking(False)
                sel.register(c, selectors.EVENT_READ, {"tete": b"", "lu": 0, "u": -1, "reste": b""})
                continue
            c, e = cle.fileobj, cle.data
            if ev & selectors.EVENT_READ:
                try:
                    b = c.recv(65536)
                except (BlockingIOError, InterruptedError):
                    b = None
                except OSError:
                    b = b""
                if b == b"":
                    sel.unregister(c)
                    c.close()
                    continue
                if b:
                    e["lu"] += len(b)
                    if e["u"] < 0:
                        e["tete"] += b[:16 - len(e["tete"])]
                        if len(e["tete"]) == 16:
                            e["u"], d = int(e["tete"][:8]), int(e["tete"][8:])
                            e["d"] = d
                    if e["u"] >= 0 and e["lu"] >= e["u"] and "d" in e:
                        e["reste"] = b"d" * e.pop("d")
            if e["reste"]:
                try:
                    n = c.send(e["reste"])
                    e["reste"] = e["reste"][n:]
                except (BlockingIOError, InterruptedError):
                    pass
            sel.modify(c, selectors.EVENT_READ | (selectors.EVENT_WRITE if e["reste"] else 0), e)


def requete_dns(ident):
    q = struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0) + b"\3www\4zone\4test\0\0\1\0\1"
    return struct.pack(">H", len(q)) + q


def clients(a):
    fin = time.monotonic() + MISE_EN_PLACE_S
    sel = selectors.DefaultSelector()
    conns = []

    def echec(texte):
        print("FAILED: " + texte, flush=True)
        sys.exit(1)

    for i in range(a.count):
        try:
            s, st, _ = qv_client.open_tunnel(a.src, a.proxy, a.target)
        except OSError as x:
            echec("tunnel %d: %s" % (i, x))
        if s is None:
            echec("tunnel %d: %s" % (i, qv_client.describe(st)))
        u, d = tailles(i)
        s.setblocking(False)
        corps = (b"%08d%08d" % (u, d)) + b"u" * (u - 16)
        e = {"genre": "ssl", "port": s.getsockname()[1], "u": u, "d": d, "envoi": corps, "recu": 0}
        conns.append((s, e))
        sel.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, e)
        if time.monotonic() > fin:
            echec("only %d tunnels in %d s" % (i, MISE_EN_PLACE_S))
    if a.dns:
        host, port = a.dns.rsplit(":", 1)
        for k in range(a.dns_count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind((a.src, 0))
            s.settimeout(30)
            s.connect((host, int(port)))
            s.setblocking(False)
            q = requete_dns(0x4000 + k)
            e = {"genre": "dns", "port": s.getsockname()[1], "u": len(q), "d": -1, "envoi": q, "recu": 0,
                 "tampon": b""}
            conns.append((s, e))
            sel.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, e)
    attendus = len(conns)
    finis = 0
    while finis < attendus:
        if time.monotonic() > fin:
            echec("%d of %d connections done in %d s" % (finis, attendus, MISE_EN_PLACE_S))
        for cle, ev in sel.select(timeout=1.0):
            s, e = cle.fileobj, cle.data
            if ev & selectors.EVENT_WRITE and e["envoi"]:
                try:
                    n = s.send(e["envoi"])
                    e["envoi"] = e["envoi"][n:]
                except (BlockingIOError, InterruptedError):
                    pass
            if ev & selectors.EVENT_READ:
                try:
                    b = s.recv(65536)
                except (BlockingIOError, InterruptedError):
                    b = None
                if b == b"":
                    echec("%s connection from port %d closed early" % (e["genre"], e["port"]))
                if b:
                    e["recu"] += len(b)
                    if e["genre"] == "dns":
                        e["tampon"] += b
                        if len(e["tampon"]) >= 2:
                            e["d"] = 2 + struct.unpack(">H", e["tampon"][:2])[0]
            fait = not e["envoi"] and e["d"] >= 0 and e["recu"] >= e["d"]
            if e["recu"] > max(e["d"], 0) and e["d"] >= 0:
                echec("%s connection from port %d got %d bytes, %d expected" % (e["genre"], e["port"], e["recu"], e["d"]))
            if fait and not e.get("fait"):
                e["fait"] = True
                finis += 1
            sel.modify(s, selectors.EVENT_READ | (selectors.EVENT_WRITE if e["envoi"] else 0), e)
    with open(a.report + ".tmp", "w") as f:
        for _, e in conns:
            f.write("%s %d %d %d\n" % (e["genre"], e["port"], e["u"], e["d"]))
    os.rename(a.report + ".tmp", a.report)
    print("ready", flush=True)
    # Held until the far end closes each one.
    fin = time.monotonic() + TENUE_S
    ouverts = len(conns)
    for s, _ in conns:
        sel.modify(s, selectors.EVENT_READ, None)
    while ouverts > 0 and time.monotonic() < fin:
        for cle, _ in sel.select(timeout=1.0):
            try:
                b = cle.fileobj.recv(65536)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                b = b""
            if b == b"":
                sel.unregister(cle.fileobj)
                cle.fileobj.close()
                ouverts -= 1
    print("closed %d" % (len(conns) - ouverts), flush=True)
    return 0


def main():
    p = argparse.ArgumentParser()
    sp = p.add_subparsers(dest="mode", required=True)
    t = sp.add_parser("target")
    t.add_argument("--listen", required=True)
    c = sp.add_parser("clients")
    c.add_argument("--src", required=True)
    c.add_argument("--proxy", type=qv_client.hostport, required=True)
    c.add_argument("--target", required=True)
    c.add_argument("--count", type=int, required=True)
    c.add_argument("--report", required=True)
    c.add_argument("--dns")
    c.add_argument("--dns-count", type=int, default=0)
    a = p.parse_args()
    return target(a) if a.mode == "target" else clients(a)


if __name__ == "__main__":
    sys.exit(main())
