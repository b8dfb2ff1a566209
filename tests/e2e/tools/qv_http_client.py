#!/usr/bin/env python3
"""qv_http_client.py: clients of the HTTP proxy's end-to-end tests.
  urllib PROXY URL                 GET through urllib's proxy handler; prints the body's length
  websocket PROXY HOST:PORT        WebSocket handshake through the proxy, 3 frames echoed; "ok"
  raw PROXY HEX                    sends the bytes (HEX "-": read from stdin), prints the first line of the answer and
                                   "closed" when the proxy closed after it (deadline 30 s)
  pipeline PROXY URL N             N requests sent at once without reading, then every answer
                                   read; prints the number of complete answers
  idle PROXY URL                   one request, its answer, then the time until the proxy
                                   closes the idle connection (seconds)
  hosts PROXY URL1 URL2            two requests for two hosts on one connection; prints both
                                   statuses
  enregistre PORT FILE             a server on 127.0.0.1:PORT that appends every byte it receives
                                   to FILE and answers each blank line with a 2-byte 200
  stall PROXY URL N SECONDS        N connections each GET URL and read nothing for SECONDS,
                                   then close; prints "done"
PROXY is host:port."""
import base64
import os
import socket
import sys
import time
import urllib.request

DELAI = 30


def connecte(proxy):
    h, p = proxy.rsplit(":", 1)
    s = socket.create_connection((h, int(p)), timeout=DELAI)
    return s


def lit_reponse(f):
    """One answer from file f (a socket's makefile): (status, head fields, body)."""
    ligne = f.readline()
    if not ligne:
        return None
    statut = int(ligne.split()[1])
    champs = []
    while True:
        l = f.readline()
        if l in (b"\r\n", b"\n", b""):
            break
        n, _, v = l.decode("latin-1").partition(":")
        champs.append((n.strip().lower(), v.strip()))
    d = dict(champs)
    if statut in (204, 304) or 100 <= statut < 200:
        return statut, champs, b""
    if d.get("transfer-encoding", "").lower() == "chunked":
        corps = b""
        while True:
            t = int(f.readline().split(b";")[0], 16)
            if t == 0:
                while f.readline() not in (b"\r\n", b"\n", b""):
                    pass
                return statut, champs, corps
            corps += f.read(t)
            f.readline()
    if "content-length" in d:
        return statut, champs, f.read(int(d["content-length"]))
    return statut, champs, f.read()


def main():
    mode = sys.argv[1]
    proxy = sys.argv[2]
    if mode == "enregistre":
        import threading
        l = socket.socket()
        l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        l.bind(("127.0.0.1", int(proxy)))
        l.listen(64)
        verrou = threading.Lock()

        def sert(c):
            tampon = b""
            while True:
                try:
                    d = c.recv(65536)
                except OSError:
                    d = b""
                if not d:
                    c.close()
                    return
                with verrou, open(sys.argv[3], "ab") as f:
                    f.write(d)
                tampon += d
                while b"\r\n\r\n" in tampon:
                    tampon = tampon.split(b"\r\n\r\n", 1)[1]
                    c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
        print("ready", flush=True)
        while True:
            c, _ = l.accept()
            threading.Thread(target=sert, args=(c,), daemon=True).start()
    if mode == "stall":
        h = sys.argv[3].split("/")[2]
        prises = []
        for _ in range(int(sys.argv[4])):
            s = connecte(proxy)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (sys.argv[3], h)).encode())
            prises.append(s)
        time.sleep(float(sys.argv[5]))
        for s in prises:
            s.close()
        print("done")
        return 0
    if mode == "urllib":
        o = urllib.request.build_opener(urllib.request.ProxyHandler({"http": "http://" + proxy}))
        print(len(o.open(sys.argv[3], timeout=DELAI).read()))
    elif mode == "websocket":
        s = connecte(proxy)
        cle = base64.b64encode(os.urandom(16)).decode()
        s.sendall(("GET http://%s/ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (sys.argv[3], cle)).encode())
        f = s.makefile("rb")
        if not f.readline().startswith(b"HTTP/1.1 101"):
            print("no 101")
            return 1
        while f.readline() not in (b"\r\n", b""):
            pass
        for texte in (b"bonjour", b"x" * 300, b"fin"):
            masque = os.urandom(4)
            n = len(texte)
            entete = b"\x81" + (bytes([0x80 | n]) if n < 126 else b"\xfe" + n.to_bytes(2, "big"))
            s.sendall(entete + masque + bytes(b ^ masque[i % 4] for i, b in enumerate(texte)))
            t = f.read(2)
            m = t[1] & 0x7F
            if m == 126:
                m = int.from_bytes(f.read(2), "big")
            if f.read(m) != texte:
                print("echo differs")
                return 1
        s.sendall(b"\x88\x80" + os.urandom(4))
        print("ok")
    elif mode == "raw":
        s = connecte(proxy)
        try:
            s.sendall(bytes.fromhex(sys.stdin.read() if sys.argv[3] == "-" else sys.argv[3]))
        except OSError:
            pass
        r = b""
        fermee = False
        try:
            while True:
                d = s.recv(65536)
                if not d:
                    fermee = True
                    break
                r += d
        except (socket.timeout, ConnectionResetError):
            fermee = not isinstance(sys.exc_info()[1], socket.timeout)
        print(r.split(b"\r\n")[0].decode("latin-1"), "closed" if fermee else "open")
    elif mode == "pipeline":
        s = connecte(proxy)
        n = int(sys.argv[4])
        h = sys.argv[3].split("/")[2]
        s.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (sys.argv[3], h)).encode() * n)
        f = s.makefile("rb")
        vues = 0
        for _ in range(n):
            r = lit_reponse(f)
            if r is None or r[0] != 200:
                break
            vues += 1
        print(vues)
    elif mode == "idle":
        s = connecte(proxy)
        h = sys.argv[3].split("/")[2]
        s.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (sys.argv[3], h)).encode())
        f = s.makefile("rb")
        lit_reponse(f)
        debut = time.monotonic()
        s.settimeout(120)
        fin = s.recv(1)
        print("%.1f" % (time.monotonic() - debut) if fin == b"" else "data")
    elif mode == "hosts":
        s = connecte(proxy)
        f = s.makefile("rb")
        statuts = []
        for u in sys.argv[3:5]:
            s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % u).encode())
            statuts.append(str(lit_reponse(f)[0]))
        print(" ".join(statuts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
