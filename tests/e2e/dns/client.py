"""Crafted DNS client for the relay's end-to-end tests. Prints one line of
results; exits 0 when the case behaved as expected, 1 otherwise.

  client.py same-id   RELAY SRC1 SRC2   two clients, one identifier
  client.py own-id    RELAY SRC1 SRC2   the same, hardened: one answer each
  client.py one-byte  RELAY SRC         a 1-byte datagram; expects silence
  client.py big       RELAY SRC         big answer, compared byte for byte
  client.py ask       RELAY SRC NAME    one query; expects an answer with its id
  client.py silent    RELAY SRC NAME    one query; expects no answer"""
import os
import select
import socket
import sys
import time

import dnsmsg


def sock(src):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    s.bind((src, 0))
    return s


# Answers that are due may come late on a loaded machine: wait for them up
# to this long. Checks that nothing (more) comes listen for QUIET seconds.
DUE = 20
QUIET = 1


def collect(socks, seconds, enough=None):
    """Every datagram that reaches `socks` within `seconds`, per socket. With
    `enough`, stops QUIET seconds after enough(got) first holds, so that
    extra datagrams are still seen."""
    got = {x: [] for x in socks}
    end = time.monotonic() + seconds
    while True:
        if enough is not None and enough(got):
            end = min(end, time.monotonic() + QUIET)
            enough = None
        left = end - time.monotonic()
        if left <= 0:
            return got
        r, _, _ = select.select(socks, [], [], left)
        for x in r:
            got[x].append(x.recvfrom(70000))


def main():
    mode, relay = sys.argv[1], (sys.argv[2], 53)
    ident = int.from_bytes(os.urandom(2), "big")
    if mode == "same-id":
        a, b = sock(sys.argv[3]), sock(sys.argv[4])
        q = dnsmsg.query(ident, "same.zone.test")
        # One after the other from one process: the relay reads them in
        # this order, so b is the later client.
        a.sendto(q, relay)
        b.sendto(q, relay)
        got = collect([a, b], DUE, lambda g: len(g[b]) >= 2)
        na, nb = len(got[a]), len(got[b])
        ok = na == 0 and nb == 2 and all(m[:2] == q[:2] for m, _ in got[b])
        print("first client %d answers, second client %d answers" % (na, nb))
    elif mode == "own-id":
        a, b = sock(sys.argv[3]), sock(sys.argv[4])
        q = dnsmsg.query(ident, "same.zone.test")
        a.sendto(q, relay)
        b.sendto(q, relay)
        got = collect([a, b], DUE, lambda g: len(g[a]) >= 1 and len(g[b]) >= 1)
        na, nb = len(got[a]), len(got[b])
        ok = na == 1 and nb == 1 and all(m[:2] == q[:2] and d == relay for m, d in got[a] + got[b])
        print("first client %d answers, second client %d answers" % (na, nb))
    elif mode == "one-byte":
        a = sock(sys.argv[3])
        a.sendto(b"\x07", relay)
        got = collect([a], 1)
        ok = not got[a]
        print("%d datagrams back" % len(got[a]))
    elif mode == "big":
        a = sock(sys.argv[3])
        q = dnsmsg.query(ident, "big.zone.test", dnsmsg.TXT)
        a.sendto(q, relay)
        got = collect([a], DUE, lambda g: len(g[a]) >= 1)[a]
        want = dnsmsg.big_answer(q)
        ok = len(got) == 1 and got[0][0] == want and got[0][1] == relay
        print("%d answers, %s bytes, expected %d, same bytes: %s" % (
            len(got), got[0][0].__len__() if got else "no", len(want),
            bool(got) and got[0][0] == want))
    elif mode in ("ask", "silent"):
        a = sock(sys.argv[3])
        q = dnsmsg.query(ident, sys.argv[4])
        a.sendto(q, relay)
        if mode == "ask":
            got = collect([a], DUE, lambda g: len(g[a]) >= 1)[a]
        else:
            got = collect([a], 2)[a]
        if mode == "ask":
            ok = len(got) == 1 and got[0][0][:2] == q[:2]
        else:
            ok = not got
        print("%d answers" % len(got))
    else:
        print(__doc__)
        return 2
    return 0 if ok else 1


sys.exit(main())
