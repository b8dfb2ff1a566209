#!/usr/bin/python3
"""DNS queries at the relay's pace, from one or more source addresses.

  qv_dnsflood.py --relay A --src A[,A...] --count N --seconds S [--window W]
                 [--name NAME]

Sends up to N queries for NAME (default www.zone.test) in total, round-robin
over the sources, keeping at most W (default 64) without an answer per
source; a query unanswered for 1 s counts as lost and frees its place. Stops
after N queries or S seconds, waits up to 1 s for the last answers, and
prints one line: "sent=N answered=N seconds=T rate=N/s".

Standard library only; every wait is bounded.
"""
import argparse
import os
import select
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "dns"))
import dnsmsg  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--relay", required=True)
    p.add_argument("--src", required=True)
    p.add_argument("--count", type=int, required=True)
    p.add_argument("--seconds", type=float, required=True)
    p.add_argument("--window", type=int, default=64)
    p.add_argument("--name", default="www.zone.test")
    a = p.parse_args()

    socks = []
    for src in a.src.split(","):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        s.bind((src, 0))
        s.setblocking(False)
        socks.append(s)
    # Per socket: identifier -> time sent.
    attente = {s: {} for s in socks}
    envoyees = repondues = 0
    ident = 0
    debut = time.monotonic()
    fin = debut + a.seconds
    derniere = None
    while True:
        maintenant = time.monotonic()
        if envoyees >= a.count or maintenant >= fin:
            if derniere is None:
                derniere = maintenant + 1.0
            if maintenant >= derniere or not any(attente[s] for s in socks):
                break
        for s in socks:
            vieux = [i for i, t in attente[s].items() if maintenant - t > 1.0]
            for i in vieux:
                del attente[s][i]
            while derniere is None and envoyees < a.count and len(attente[s]) < a.window:
                ident = (ident + 1) & 0xFFFF
                try:
                    s.sendto(dnsmsg.query(ident, a.name), (a.relay, 53))
                except BlockingIOError:
                    break
                attente[s][ident] = maintenant
                envoyees += 1
        prets, _, _ = select.select(socks, [], [], 0.05)
        for s in prets:
            while True:
                try:
                    d = s.recv(4096)
                except BlockingIOError:
                    break
                if len(d) >= 2:
                    i = struct.unpack(">H", d[:2])[0]
                    if attente[s].pop(i, None) is not None:
                        repondues += 1
    duree = time.monotonic() - debut
    print("sent=%d answered=%d seconds=%.2f rate=%d/s" % (envoyees, repondues, duree, repondues / max(duree, 0.001)),
          flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
