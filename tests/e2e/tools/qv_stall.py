#!/usr/bin/python3
"""Stalled tunnels for fault_stall_e2e.sh: both ends of many tunnels move
bytes fast, then stop reading while they go on writing, then read again.

  target  --addr A --port P --tunnels N ...   accepts N tunnels (each names
          itself by an 8-digit number first), then plays its end of each
  client  --proxy H:P --src S --target H:P --tunnels N ...   opens N tunnels
          through the proxy and plays the other end

Phases, the same at both ends: "fast": every tunnel sends --fast bytes and
reads what comes; then "stall": no tunnel reads, each writes up to --fill more
bytes while the way takes them; once nothing moved for 2 s the end writes
CTL/<role>.stalled and waits for CTL/go; then "drain": it shuts its sending
half and reads to the end. The result (CTL/<role>.json) gives, per tunnel, the
bytes sent and received with their CRC-32; the script compares both ends.
Every wait is bounded by --timeout; standard library only.
"""
import argparse
import json
import os
import selectors
import socket
import sys
import time
import zlib

BLOC = os.urandom(1 << 20)
VUE = memoryview(BLOC)
MORCEAU = 256 * 1024


class Bout:
    def __init__(self, n, s):
        self.n = n
        self.s = s
        self.envoye = 0
        self.crc_envoye = 0
        self.recu = 0
        self.crc_recu = 0
        self.fin = False

    def envoie(self, limite):
        """Sends up to `limite` bytes more; the count sent (0 when full)."""
        envoye = 0
        while envoye < limite:
            debut = (self.envoye + self.n * 4099) % len(BLOC)  # differs per tunnel
            k = min(MORCEAU, len(BLOC) - debut, limite - envoye)
            morceau = VUE[debut:debut + k]
            try:
                m = self.s.send(morceau)
            except BlockingIOError:
                break
            self.crc_envoye = zlib.crc32(morceau[:m], self.crc_envoye)
            self.envoye += m
            envoye += m
            if m < k:
                break
        return envoye

    def lit(self):
        """Reads what is there; the count (0 at the end or when empty)."""
        lu = 0
        while True:
            try:
                d = self.s.recv(MORCEAU)
            except BlockingIOError:
                return lu
            if not d:
                self.fin = True
                return lu
            self.crc_recu = zlib.crc32(d, self.crc_recu)
            self.recu += len(d)
            lu += len(d)


def attend_fichier(chemin, limite):
    while not os.path.exists(chemin):
        if time.monotonic() > limite:
            return False
        time.sleep(0.1)
    return True


def joue(bouts, a, role):
    try:
        return joue_phases(bouts, a, role)
    except OSError as e:  # a reset or a vanished proxy: reported, not a trace
        return "%s: %s" % (role, e)


def joue_phases(bouts, a, role):
    limite = time.monotonic() + a.timeout
    for b in bouts:
        b.s.setblocking(False)
    sel = selectors.DefaultSelector()
    for b in bouts:
        sel.register(b.s, selectors.EVENT_READ | selectors.EVENT_WRITE, b)

    # Fast: both ways at once until every tunnel sent and received --fast.
    restants = len(bouts)
    faits = set()
    while restants > 0:
        if time.monotonic() > limite:
            return "fast phase timed out"
        for cle, ev in sel.select(1.0):
            b = cle.data
            if ev & selectors.EVENT_WRITE and b.envoye < a.fast:
                b.envoie(a.fast - b.envoye)
            if ev & selectors.EVENT_READ:
                b.lit()
                if b.fin:
                    return "tunnel %d ended during the fast phase" % b.n
            if b.n not in faits and b.envoye >= a.fast and b.recu >= a.fast:
                faits.add(b.n)
                restants -= 1
                sel.modify(b.s, selectors.EVENT_WRITE, b)

    # Stall: nobody reads; each writes up to --fill more while it can.
    plafond = {b.n: b.envoye + a.fill for b in bouts}
    for b in bouts:
        sel.modify(b.s, selectors.EVENT_WRITE, b)
    actifs = len(bouts)
    dernier = time.monotonic()
    while actifs > 0 and time.monotonic() - dernier < 2.0:
        if time.monotonic() > limite:
            return "stall phase timed out"
        for cle, _ in sel.select(0.5):
            b = cle.data
            if b.envoie(plafond[b.n] - b.envoye) > 0:
                dernier = time.monotonic()
            if b.envoye >= plafond[b.n]:
                sel.unregister(b.s)
                actifs -= 1
    # Every tunnel is full or at its cap: wait until nothing has moved for 2 s.
    while time.monotonic() - dernier < 2.0:
        time.sleep(0.1)
    with open(os.path.join(a.ctl, role + ".stalled"), "w") as f:
        json.dump({"sent": sum(b.envoye for b in bouts)}, f)
    if not attend_fichier(os.path.join(a.ctl, "go"), limite):
        return "no go"

    # Drain: nothing more to send; read every tunnel to its end.
    for b in bouts:
        try:
            sel.unregister(b.s)
        except KeyError:
            pass
        b.s.shutdown(socket.SHUT_WR)
        sel.register(b.s, selectors.EVENT_READ, b)
    restants = len(bouts)
    while restants > 0:
        if time.monotonic() > limite:
            return "drain timed out with %d tunnels open" % restants
        for cle, _ in sel.select(1.0):
            b = cle.data
            b.lit()
            if b.fin:
                sel.unregister(b.s)
                restants -= 1
    return None


def rapport(bouts, a, role, erreur):
    r = {"error": erreur,
         "tunnels": {str(b.n): [b.envoye, b.crc_envoye, b.recu, b.crc_recu] for b in bouts}}
    with open(os.path.join(a.ctl, role + ".json"), "w") as f:
        json.dump(r, f)
    for b in bouts:
        b.s.close()
    return 1 if erreur else 0


def lit_exact(s, n):
    d = b""
    while len(d) < n:
        x = s.recv(n - len(d))
        if not x:
            raise OSError("closed")
        d += x
    return d


def cible(a):
    l = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if a.rcvbuf:
        l.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, a.rcvbuf)
    l.bind((a.addr, a.port))
    l.listen(1024)
    l.settimeout(a.timeout)
    open(os.path.join(a.ctl, "target.ready"), "w").close()
    bouts = []
    try:
        while len(bouts) < a.tunnels:
            c, _ = l.accept()
            c.settimeout(30)
            bouts.append(Bout(int(lit_exact(c, 8)), c))
    except OSError as e:
        return rapport(bouts, a, "target", "accept: %s after %d tunnels" % (e, len(bouts)))
    l.close()
    return rapport(bouts, a, "target", joue(bouts, a, "target"))


def client(a):
    ph, _, pp = a.proxy.rpartition(":")
    th, _, tp = a.target.rpartition(":")
    bouts = []
    try:
        for n in range(a.tunnels):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            if a.rcvbuf:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, a.rcvbuf)
            s.settimeout(30)
            s.bind((a.src, 0))
            s.connect((ph, int(pp)))
            s.sendall(("CONNECT %s:%s HTTP/1.1\r\nHost: %s:%s\r\n\r\n" % (th, tp, th, tp)).encode())
            tete = b""
            while b"\r\n\r\n" not in tete:
                x = s.recv(1)
                if not x:
                    raise OSError("closed before the response")
                tete += x
            if not tete.startswith(b"HTTP/1.1 200"):
                raise OSError("answer %r" % tete[:40])
            s.sendall(b"%08d" % n)
            bouts.append(Bout(n, s))
    except OSError as e:
        return rapport(bouts, a, "client", "tunnel %d: %s" % (len(bouts), e))
    return rapport(bouts, a, "client", joue(bouts, a, "client"))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("role", choices=["target", "client"])
    p.add_argument("--addr")
    p.add_argument("--port", type=int)
    p.add_argument("--proxy")
    p.add_argument("--src")
    p.add_argument("--target")
    p.add_argument("--tunnels", type=int, required=True)
    p.add_argument("--fast", type=int, default=4 << 20)
    p.add_argument("--fill", type=int, default=1 << 20)
    p.add_argument("--rcvbuf", type=int, default=0)
    p.add_argument("--ctl", required=True)
    p.add_argument("--timeout", type=float, default=240)
    a = p.parse_args()
    return cible(a) if a.role == "target" else client(a)


if __name__ == "__main__":
    sys.exit(main())
