#!/usr/bin/env python3
"""qv_origine.py PORT [ADDRESS]: a small origin server for the HTTP proxy's
tests, HTTP/1.1 with keep-alive. Paths:
  /taille/N       N bytes ('a'...'z' repeated), Content-Length
  /morceaux/N     N bytes in chunks of at most 1000, chunked, with a trailer
  /ferme/N        N bytes, no length: the connection closes after them
  /tete           the request head it received, as the body (text/plain)
  /echo           the request body back (any method), Content-Length
  /vide           204 without body
  /ws             a WebSocket handshake, then every frame echoed back
  /connexions     how many connections this server accepted so far
Everything else: 404. Prints "ready" once listening."""
import base64
import hashlib
import socket
import socketserver
import sys
import threading

connexions = 0
verrou = threading.Lock()


def motif(n):
    base = b"abcdefghijklmnopqrstuvwxyz"
    return (base * (n // 26 + 1))[:n]


class Serveur(socketserver.ThreadingTCPServer):
    daemon_threads = True
    request_queue_size = 128
    allow_reuse_address = True


class Connexion(socketserver.StreamRequestHandler):
    def handle(self):
        global connexions
        with verrou:
            connexions += 1
        while self.une_requete():
            pass

    def lit_tete(self):
        lignes = []
        while True:
            l = self.rfile.readline(65537)
            if not l:
                return None
            if l in (b"\r\n", b"\n"):
                if not lignes:
                    continue
                return lignes
            lignes.append(l)

    def corps(self, champs):
        if champs.get("transfer-encoding", "").lower().endswith("chunked"):
            morceaux = []
            while True:
                taille = int(self.rfile.readline().split(b";")[0].strip(), 16)
                if taille == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(morceaux)
                morceaux.append(self.rfile.read(taille))
                self.rfile.readline()
        n = int(champs.get("content-length", "0"))
        return self.rfile.read(n) if n else b""

    def envoie(self, statut, corps, extra=(), ferme=False):
        t = "HTTP/1.1 %s\r\n" % statut
        for c in extra:
            t += c + "\r\n"
        if not ferme:
            t += "Content-Length: %d\r\n" % len(corps)
        else:
            t += "Connection: close\r\n"
        self.wfile.write(t.encode() + b"\r\n" + corps)
        self.wfile.flush()

    def une_requete(self):
        lignes = self.lit_tete()
        if lignes is None:
            return False
        methode, cible, version = lignes[0].decode("latin-1").rstrip("\r\n").split(" ")
        champs = {}
        for l in lignes[1:]:
            n, _, v = l.decode("latin-1").partition(":")
            champs[n.strip().lower()] = v.strip()
        if champs.get("expect", "").lower() == "100-continue":
            self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n")
            self.wfile.flush()
        corps = self.corps(champs)
        tete = methode == "HEAD"
        parts = cible.split("?")[0].split("/")
        fin = version == "HTTP/1.0" and champs.get("connection", "").lower() != "keep-alive"
        fin = fin or champs.get("connection", "").lower() == "close"
        if parts[1] == "taille":
            b = motif(int(parts[2]))
            t = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Rep: 1\r\nX-Rep: 2\r\nContent-Length: %d\r\n\r\n" % len(b)
            self.wfile.write(t.encode() + (b"" if tete else b))
        elif parts[1] == "morceaux":
            n = int(parts[2])
            self.wfile.write(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
            if not tete:
                b = motif(n)
                for i in range(0, n, 1000):
                    m = b[i:i + 1000]
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(m), m))
                self.wfile.write(b"0\r\nX-Fin: oui\r\n\r\n")
        elif parts[1] == "ferme":
            self.wfile.write(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")
            reste = 0 if tete else int(parts[2])
            bloc = motif(26 * 2520)
            while reste > 0:
                self.wfile.write(bloc[:min(reste, len(bloc))])
                reste -= min(reste, len(bloc))
            self.wfile.flush()
            return False
        elif parts[1] == "tete":
            self.envoie("200 OK", b"".join(lignes), ["Content-Type: text/plain"])
        elif parts[1] == "echo":
            self.envoie("200 OK", corps)
        elif parts[1] == "vide":
            self.wfile.write(b"HTTP/1.1 204 No Content\r\n\r\n")
        elif parts[1] == "connexions":
            self.envoie("200 OK", str(connexions).encode())
        elif parts[1] == "ws":
            cle = champs.get("sec-websocket-key", "")
            acc = base64.b64encode(hashlib.sha1((cle + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode()).digest())
            self.wfile.write(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             b"Sec-WebSocket-Accept: " + acc + b"\r\n\r\n")
            self.wfile.flush()
            self.websocket()
            return False
        else:
            self.envoie("404 Not Found", b"no such path")
        self.wfile.flush()
        return not fin

    def websocket(self):
        while True:
            t = self.rfile.read(2)
            if len(t) < 2:
                return
            op, n = t[0] & 0x0F, t[1] & 0x7F
            if n == 126:
                n = int.from_bytes(self.rfile.read(2), "big")
            elif n == 127:
                n = int.from_bytes(self.rfile.read(8), "big")
            masque = self.rfile.read(4) if t[1] & 0x80 else b"\0\0\0\0"
            d = bytes(b ^ masque[i % 4] for i, b in enumerate(self.rfile.read(n)))
            if op == 8:
                self.wfile.write(b"\x88\x00")
                self.wfile.flush()
                return
            l = len(d)
            entete = bytes([0x80 | op]) + (bytes([l]) if l < 126 else b"\x7e" + l.to_bytes(2, "big"))
            self.wfile.write(entete + d)
            self.wfile.flush()


if __name__ == "__main__":
    s = Serveur((sys.argv[2] if len(sys.argv) > 2 else "127.0.0.1", int(sys.argv[1])), Connexion)
    print("ready", flush=True)
    s.serve_forever()
