#!/usr/bin/python3
"""Clients and targets for the tunnel's end-to-end tests (standard library only).

Every socket carries a timeout, so no subcommand can hang; each prints what it
saw and exits non-zero on a mismatch.

  page N                               expected bytes of error page N
  ask PROXY DATA [--source A] [--half-close] [--allow-reset] [--wait S] [--expect-page N]
                                       send DATA (Python escapes), print or check the answer
  serve-echo ADDR PORT                 echo every connection (one thread each)
  serve-bulk ADDR PORT SIZE            one connection: send SIZE bytes while reading to the end
  client-bulk PROXY TARGET SIZE        the same through a tunnel; compares with serve-bulk's line
  many PROXY TARGET N                  N tunnels open at once, each checked by an echoed byte
  hold PROXY DATA SECONDS              send DATA and keep the connection open, silent
  endless PROXY SIZE SECONDS           a header of SIZE bytes that never ends, then silence
"""
import hashlib
import os
import socket
import sys
import threading
import time

TETE = b"<HTML><HEAD><TITLE>Quorvel Proxy Server : Error</TITLE></HEAD><BODY>"
PIED = (b"<BR><BR><HR><DIV ALIGN=RIGHT><FONT SIZE=-1><I>Quorvel Proxy Server 1.0"
        b"<BR>A gateway proxy for the local network: "
        b"<A HREF=\"https://quorvel.example/\">Quorvel</A>"
        b"</I></FONT></DIV></BODY></HTML>")
PAGES = {
    0: (400, b"Bad Request", b"<H1>Invalid request</H1>Your browser sent a request that could not be understood."),
    1: (405, b"Method Not Allowed", b"<H1>Method not allowed</H1>The method specified by your browser is unsupported."),
    2: (403, b"Forbidden", b"<H1>Not Allowed</H1>You are not allowed to connect on this server."),
    3: (503, b"Service Unavailable", b"<H1>Connection refused</H1>The connection to the application server was refused."),
    4: (503, b"Service Unavailable", b"<H1>Failed to resolve</H1>Impossible to resolve the requested hostname."),
    5: (500, b"Internal Server Error", b"<H1>Error</H1>An error occured while retrieving the page."),
    8: (403, b"Forbidden", b"<H1>Blocked</H1>The requested host is on this gateway's block list."),
}
OK = b"HTTP/1.1 200 OK\r\n\r\n"
DELAI = 30


def page(n):
    code, raison, message = PAGES[n]
    corps = TETE + message + PIED
    return (b"HTTP/1.1 %d %s\r\nConnexion: close\r\nContent-Type: text/html\r\n"
            b"Content-Length: %d\r\n\r\n" % (code, raison, len(corps))) + corps


def adresse(texte):
    hote, port = texte.rsplit(":", 1)
    return hote, int(port)


def connecte(proxy, source=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(DELAI)
    if source:
        s.bind((source, 0))
    s.connect(adresse(proxy))
    return s


def lit_tout(s):
    morceaux = []
    try:
        while True:
            b = s.recv(65536)
            if not b:
                break
            morceaux.append(b)
    except ConnectionResetError:
        morceaux.append(b"<RESET>")
    return b"".join(morceaux)


def lit_n(s, n):
    r = b""
    while len(r) < n:
        b = s.recv(n - len(r))
        if not b:
            break
        r += b
    return r


def ouvre_tunnel(proxy, cible, source=None):
    s = connecte(proxy, source)
    s.sendall(b"CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (cible.encode(), cible.encode()))
    r = lit_n(s, len(OK))
    if r != OK:
        raise RuntimeError("tunnel to %s answered %r" % (cible, r[:80]))
    return s


def cmd_ask(args):
    source = None
    demi = False
    reset_permis = False
    delai = DELAI
    attendu = None
    proxy, donnees = args[0], args[1].encode().decode("unicode_escape").encode("latin-1")
    reste = args[2:]
    while reste:
        a = reste.pop(0)
        if a == "--source":
            source = reste.pop(0)
        elif a == "--half-close":
            demi = True
        elif a == "--wait":
            delai = float(reste.pop(0))
        elif a == "--allow-reset":
            reset_permis = True
        elif a == "--expect-page":
            attendu = page(int(reste.pop(0)))
    s = connecte(proxy, source)
    s.settimeout(delai)
    try:
        s.sendall(donnees)
    except (BrokenPipeError, ConnectionResetError):
        pass
    if demi:
        try:
            s.shutdown(socket.SHUT_WR)
        except OSError:
            pass    # already reset: what arrived before is still read below
    recu = lit_tout(s)
    s.close()
    if reset_permis and recu.endswith(b"<RESET>"):
        recu = recu[:-len(b"<RESET>")]
    if attendu is None:
        sys.stdout.buffer.write(recu)
        return 0
    if recu != attendu:
        print("expected %r\n     got %r" % (attendu, recu))
        return 1
    return 0


def emetteur(s, taille, resultat):
    h = hashlib.sha256()
    bloc = os.urandom(1 << 20)
    reste = taille
    while reste > 0:
        morceau = bloc[: min(len(bloc), reste)]
        s.sendall(morceau)
        h.update(morceau)
        reste -= len(morceau)
    s.shutdown(socket.SHUT_WR)
    resultat["envoye"] = h.hexdigest()


def recepteur(s, resultat):
    h = hashlib.sha256()
    n = 0
    while True:
        b = s.recv(1 << 20)
        if not b:
            break
        h.update(b)
        n += len(b)
    resultat["recu"] = h.hexdigest()
    resultat["n"] = n


def echange(s, taille):
    r = {}
    t1 = threading.Thread(target=emetteur, args=(s, taille, r))
    t2 = threading.Thread(target=recepteur, args=(s, r))
    t1.start(); t2.start(); t1.join(); t2.join()
    return r


def cmd_serve_bulk(args):
    hote, port, taille = args[0], int(args[1]), int(args[2])
    l = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    l.bind((hote, port)); l.listen(1); l.settimeout(120)
    s, _ = l.accept()
    s.settimeout(120)
    r = echange(s, taille)
    print("sent %s received %s %d" % (r.get("envoye"), r.get("recu"), r.get("n", -1)), flush=True)
    s.close()
    return 0


def cmd_client_bulk(args):
    proxy, cible, taille = args[0], args[1], int(args[2])
    s = ouvre_tunnel(proxy, cible)
    s.settimeout(120)
    r = echange(s, taille)
    print("sent %s received %s %d" % (r.get("envoye"), r.get("recu"), r.get("n", -1)), flush=True)
    return 0


def cmd_serve_echo(args):
    hote, port = args[0], int(args[1])
    l = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    l.bind((hote, port)); l.listen(1024)

    def sert(s):
        s.settimeout(300)
        try:
            while True:
                b = s.recv(65536)
                if not b:
                    break
                s.sendall(b)
        except OSError:
            pass
        s.close()

    while True:
        s, _ = l.accept()
        threading.Thread(target=sert, args=(s,), daemon=True).start()


def cmd_many(args):
    proxy, cible, n = args[0], args[1], int(args[2])
    tunnels = []
    for i in range(n):
        tunnels.append(ouvre_tunnel(proxy, cible))
    vivants = 0
    for i, s in enumerate(tunnels):   # all n are open while each is checked
        octet = bytes([i % 251])
        s.sendall(octet)
        if s.recv(1) == octet:
            vivants += 1
    for s in tunnels:
        s.close()
    print("%d of %d alive" % (vivants, n), flush=True)
    return 0 if vivants == n else 1


def cmd_hold(args):
    proxy, donnees, secondes = args[0], args[1].encode().decode("unicode_escape").encode("latin-1"), float(args[2])
    s = connecte(proxy)
    try:
        s.sendall(donnees)
    except OSError:
        pass
    time.sleep(secondes)
    s.close()
    return 0


def cmd_endless(args):
    proxy, taille, secondes = args[0], int(args[1]), float(args[2])
    s = connecte(proxy)
    debut = time.time()
    try:
        s.sendall(b"CONNECT 127.0.0.1:1 HTTP/1.1\r\nX-Fill: " + b"a" * taille)
    except OSError:
        pass    # the proxy gave up on it: that is the expected end
    time.sleep(max(0.0, secondes - (time.time() - debut)))
    s.close()
    return 0


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "page":
        sys.stdout.buffer.write(page(int(args[0])))
        return 0
    return {
        "ask": cmd_ask, "serve-echo": cmd_serve_echo, "serve-bulk": cmd_serve_bulk,
        "client-bulk": cmd_client_bulk, "many": cmd_many, "hold": cmd_hold,
        "endless": cmd_endless,
    }[cmd](args)


if __name__ == "__main__":
    sys.exit(main())
