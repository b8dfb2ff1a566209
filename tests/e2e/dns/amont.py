"""Crafted upstream DNS server for the relay's end-to-end tests.

Answers on ADDRESS:53: "big.*" with big_answer(), "wrongport.*" from port
5353 instead of 53 (a forged source port), anything else with one A record.
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
a = p.parse_args()

s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
s.bind((a.adresse, 53))
autre = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
autre.bind((a.adresse, 5353))
journal = open(a.journal, "a", buffering=1)
verrou = threading.Lock()


def repond(msg, de):
    q = dnsmsg.question(msg)
    if q is None:
        return
    name = q[0]
    if name.startswith("big."):
        s.sendto(dnsmsg.big_answer(msg), de)
    elif name.startswith("wrongport."):
        autre.sendto(dnsmsg.a_answer(msg, a.reponse), de)
    else:
        s.sendto(dnsmsg.a_answer(msg, a.reponse), de)


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
