"""DNS client for the answer cache's and the relay's question checks in the
end-to-end tests. Prints one line; exits 0 when an answer of the expected
kind came (see each mode), 1 otherwise.

  cache.py udp      RELAY SRC NAME [EDNS]  one query (with an OPT of size EDNS)
  cache.py tcp      RELAY SRC NAME         one query over TCP
  cache.py formerr  RELAY SRC NAME         the name as a compression pointer
                                            to NAME written after the question
  cache.py tcp-limit RELAY SRC N           N connections kept, then one more:
                                            that one is closed, the first served
  cache.py tcp-empty RELAY SRC             one connection sending two zero bytes
                                            every 10 s: closed 30 s after it opened
  cache.py tcp-idlest RELAY SRC N SRC2     N connections from SRC and SRC2 in
                                            turn, each but the second with a query
                                            answered, then one more from SRC:
                                            the second is closed, the others and
                                            the newcomer served
The udp and tcp modes print "rcode=R tc=T an=N size=S ttls=T1,T2 same=1"
(same: the answer's identifier and question are the query's, byte for
byte, letter case included)."""
import os
import select
import socket
import struct
import sys
import time

import dnsmsg

DUE = 20


def requete(nom, edns=0):
    ident = int.from_bytes(os.urandom(2), "big")
    q = dnsmsg.query(ident, nom)
    if edns:
        q = q[:10] + b"\0\1" + q[12:] + b"\0" + struct.pack(">HHIH", 41, edns, 0, 0)
    return q


def decrit(q, r):
    _, fin = dnsmsg.question(q)
    rcode = r[3] & 0x0F
    tc = (r[2] >> 1) & 1
    an = struct.unpack(">H", r[6:8])[0]
    same = int(r[:2] == q[:2] and r[12:fin] == q[12:fin])
    try:
        t = ",".join(str(x) for x in dnsmsg.ttls(r))
    except Exception:
        t = "?"
    return "rcode=%d tc=%d an=%d size=%d ttls=%s same=%d" % (rcode, tc, an, len(r), t, same)


def udp(relais, src, q):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((src, 0))
    s.sendto(q, relais)
    r, _, _ = select.select([s], [], [], DUE)
    return s.recvfrom(70000)[0] if r else None


def lit(c, n):
    b = b""
    while len(b) < n:
        x = c.recv(n - len(b))
        if not x:
            return None
        b += x
    return b


def tcp_connecte(relais, src):
    c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    c.settimeout(DUE)
    c.bind((src, 0))
    c.connect(relais)
    return c


def tcp(relais, src, q):
    with tcp_connecte(relais, src) as c:
        c.sendall(len(q).to_bytes(2, "big") + q)
        t = lit(c, 2)
        return lit(c, int.from_bytes(t, "big")) if t else None


def ferme(c):
    """Whether the peer closes `c` (within DUE seconds)."""
    try:
        return c.recv(1) == b""
    except (ConnectionResetError, socket.timeout):
        return False


def main():
    mode, relais, src = sys.argv[1], (sys.argv[2], 53), sys.argv[3]
    if mode in ("udp", "tcp"):
        q = requete(sys.argv[4], int(sys.argv[5]) if len(sys.argv) > 5 else 0)
        r = udp(relais, src, q) if mode == "udp" else tcp(relais, src, q)
        print(decrit(q, r) if r else "nothing")
        return 0 if r else 1
    if mode == "formerr":
        ident = int.from_bytes(os.urandom(2), "big")
        q = struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0) + b"\xc0\x12" + struct.pack(">HH", 1, 1)
        for label in sys.argv[4].split("."):
            q += bytes([len(label)]) + label.encode()
        q += b"\0"
        r = udp(relais, src, q)
        print("answer %s" % (r.hex() if r else "nothing"))
        ok = r is not None and len(r) == 12 and r[:2] == q[:2] and r[2] == 0x81 and r[3] == 0x81 and r[4:] == bytes(8)
        return 0 if ok else 1
    if mode == "tcp-limit":
        n = int(sys.argv[4])
        gardees = [tcp_connecte(relais, src) for _ in range(n)]
        de_trop = tcp_connecte(relais, src)
        refusee = ferme(de_trop)
        q = requete("www.zone.test")
        gardees[0].sendall(len(q).to_bytes(2, "big") + q)
        t = lit(gardees[0], 2)
        servie = t is not None and lit(gardees[0], int.from_bytes(t, "big")) is not None
        print("one too many closed: %s, the first served: %s" % (refusee, servie))
        return 0 if refusee and servie else 1
    if mode == "tcp-idlest":
        n = int(sys.argv[4])

        def servie(c):
            q = requete("www.zone.test")
            try:
                c.sendall(len(q).to_bytes(2, "big") + q)
                t = lit(c, 2)
                return t is not None and lit(c, int.from_bytes(t, "big")) is not None
            except OSError:
                return False

        sources = (src, sys.argv[5])
        gardees = [tcp_connecte(relais, sources[k % 2]) for k in range(n)]
        # The last one first: once it is served, every one before it has
        # been accepted, so the second is idle since before every message.
        actives = [servie(gardees[k]) for k in [n - 1] + [k for k in range(n - 1) if k != 1]]
        nouvelle = tcp_connecte(relais, src)
        try:
            fermee = gardees[1].recv(1) == b""
        except ConnectionResetError:
            fermee = True
        except socket.timeout:
            fermee = False
        nouvelle_servie = servie(nouvelle)
        encore = sum(servie(c) for k, c in enumerate(gardees) if k != 1)
        print("served before: %d of %d, the idlest closed: %s, the newcomer served: %s, the others served after: %d"
              % (sum(actives), n - 1, fermee, nouvelle_servie, encore))
        return 0 if all(actives) and fermee and nouvelle_servie and encore == n - 1 else 1
    if mode == "tcp-empty":
        c = tcp_connecte(relais, src)
        debut = time.monotonic()
        c.settimeout(10)
        ferme_a = None
        while time.monotonic() - debut < 60:
            try:
                c.sendall(b"\0\0")
                if c.recv(1) == b"":
                    ferme_a = time.monotonic() - debut
                    break
            except socket.timeout:
                continue
            except OSError:
                ferme_a = time.monotonic() - debut
                break
        print("closed after %s s" % (None if ferme_a is None else round(ferme_a, 1)))
        return 0 if ferme_a is not None and 29 <= ferme_a < 45 else 1
    print("unknown mode", mode)
    return 2


sys.exit(main())
