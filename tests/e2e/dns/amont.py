"""Crafted upstream DNS server for the relay's end-to-end tests.

Answers on ADDRESS:53: "big.*" with big_answer(), "wrongport.*" from port
5353 instead of 53 (a forged source port), "ttlN.*" with one A record of
TTL N, "nx.*" NXDOMAIN with an SOA (TTL 300, MINIMUM 3), "mid.*" about
1,500 bytes of TXT records, "servfail.*" SERVFAIL, "otherq.*" an answer
to another question (what a forger might send), anything else with one A
record. The same answers over TCP port 53 (--tcp).
Logs every datagram received as "length address port identifier" to the
journal. With --forge, plays the forger of its own address too: before each
(late) answer it sends the relay's port 53 an answer with the FORGE address
under every one of the 65,536 identifiers."""
import argparse
import socket
import threading
import time

import dnsmsg

p = argparse.ArgumentParser()
p.add_argument("--adresse", required=True)
p.add_argument("--reponse", required=True, help="address of the A answer")
p.add_argument("--journal", required=True)
p.add_argument("--delai", type=float, default=0.0, help="seconds before answering")
p.add_argument("--forge", help="address of the forged A answers")
p.add_argument("--tcp", action="store_true", help="answer over TCP port 53 too")
a = p.parse_args()

s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
s.bind((a.adresse, 53))
autre = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
autre.bind((a.adresse, 5353))
journal = open(a.journal, "a", buffering=1)
verrou = threading.Lock()


def fabrique(msg):
    """The answer to `msg`, or None."""
    q = dnsmsg.question(msg)
    if q is None:
        return None
    name = q[0]
    adresse = bytes(int(x) for x in a.reponse.split("."))
    if name.startswith("big."):
        return dnsmsg.big_answer(msg)
    if name.startswith("ttl"):
        return dnsmsg.answer(msg, [(dnsmsg.A, adresse)], ttl=int(name[3:name.index(".")]))
    if name.startswith("nx."):
        return dnsmsg.answer(msg, [], rcode=3, authority=[(dnsmsg.SOA, 300, dnsmsg.soa_rdata(3))])
    if name.startswith("mid."):
        return dnsmsg.answer(msg, [(dnsmsg.TXT, bytes([250]) + bytes([65 + k]) * 250) for k in range(6)], ttl=300)
    if name.startswith("servfail."):
        return dnsmsg.answer(msg, [], rcode=2)
    if name.startswith("otherq."):
        autre_q = bytearray(msg)
        autre_q[13] = ord("x")  # another name, same length
        return dnsmsg.a_answer(bytes(autre_q), a.reponse)
    return dnsmsg.a_answer(msg, a.reponse)


def repond(msg, de):
    r = fabrique(msg)
    if r is None:
        return
    name = dnsmsg.question(msg)[0]
    (autre if name.startswith("wrongport.") else s).sendto(r, de)


def sert_tcp():
    ecoute = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    ecoute.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ecoute.bind((a.adresse, 53))
    ecoute.listen(64)
    while True:
        c, de = ecoute.accept()
        threading.Thread(target=connexion, args=(c, de), daemon=True).start()


def lit(c, n):
    b = b""
    while len(b) < n:
        x = c.recv(n - len(b))
        if not x:
            return None
        b += x
    return b


def connexion(c, de):
    with c:
        while True:
            t = lit(c, 2)
            if t is None:
                return
            msg = lit(c, int.from_bytes(t, "big"))
            if msg is None:
                return
            with verrou:
                journal.write("tcp %d %s %d %d\n" % (len(msg), de[0], de[1], int.from_bytes(msg[:2], "big")))
            r = fabrique(msg)
            if r is not None:
                c.sendall(len(r).to_bytes(2, "big") + r)


if a.tcp:
    threading.Thread(target=sert_tcp, daemon=True).start()


def forge(msg, de):
    faux = bytearray(dnsmsg.a_answer(msg, a.forge))
    for ident in range(65536):
        faux[0:2] = ident.to_bytes(2, "big")
        with verrou:
            s.sendto(faux, (de[0], 53))
    with verrou:
        journal.write("forged 65536\n")


while True:
    msg, de = s.recvfrom(70000)
    with verrou:
        journal.write("%d %s %d %d\n" % (len(msg), de[0], de[1], int.from_bytes(msg[:2], "big")))
    if a.forge:
        forge(msg, de)
    if a.delai > 0:
        threading.Timer(a.delai, repond, (msg, de)).start()
    else:
        repond(msg, de)
