"""DNS over TCP client for the relay's end-to-end tests. Prints one line of
results; exits 0 when the case behaved as expected, 1 otherwise.

  tcp.py pipeline RELAY SRC NAME...  every query sent at once on one
                                     connection; expects one answer each
  tcp.py refused  RELAY SRC          a query; expects the connection to end
                                     with no byte back
  tcp.py idle     RELAY SRC MIN MAX  sends half a message; expects the relay
                                     to close between MIN and MAX seconds
  tcp.py no-port  ADDRESS SRC [PORT] expects the connection to port 53 (or
                                     PORT) to be refused
  tcp.py connect  ADDRESS SRC PORT TARGET  sends CONNECT TARGET to the
                                     tunnel there; expects a 200 answer"""
import os
import select
import socket
import struct
import sys
import time

import dnsmsg


def connect(relay, src):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind((src, 0))
    s.settimeout(10)
    s.connect((relay, 53))
    return s


def read_exactly(s, n, deadline):
    b = b""
    while len(b) < n:
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        r, _, _ = select.select([s], [], [], left)
        if not r:
            return None
        part = s.recv(n - len(b))
        if not part:
            return None
        b += part
    return b


def ended(s, seconds):
    """(True, bytes) when the peer ends the stream within `seconds`."""
    got = b""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        r, _, _ = select.select([s], [], [], end - time.monotonic())
        if not r:
            break
        try:
            part = s.recv(4096)
        except ConnectionResetError:
            return True, got
        if not part:
            return True, got
        got += part
    return False, got


def main():
    mode = sys.argv[1]
    if mode == "pipeline":
        s = connect(sys.argv[2], sys.argv[3])
        names = sys.argv[4:]
        base = int.from_bytes(os.urandom(2), "big")
        ids = [(base + k) & 0xFFFF for k in range(len(names))]
        out = b""
        for ident, name in zip(ids, names):
            q = dnsmsg.query(ident, name, dnsmsg.TXT if name.startswith("big.") else dnsmsg.A)
            out += struct.pack(">H", len(q)) + q
        s.sendall(out)  # every query before any answer
        deadline = time.monotonic() + 10
        seen, sizes = [], []
        for _ in names:
            head = read_exactly(s, 2, deadline)
            if head is None:
                break
            msg = read_exactly(s, struct.unpack(">H", head)[0], deadline)
            if msg is None:
                break
            seen.append(struct.unpack(">H", msg[:2])[0])
            sizes.append(len(msg))
        print("answers %d of %d, sizes %s" % (len(seen), len(names), sizes))
        return 0 if sorted(seen) == sorted(ids) else 1
    if mode == "refused":
        s = connect(sys.argv[2], sys.argv[3])
        q = dnsmsg.query(1, "www.zone.test")
        try:
            s.sendall(struct.pack(">H", len(q)) + q)
        except (BrokenPipeError, ConnectionResetError):
            pass
        fin, got = ended(s, 10)
        print("closed %s, %d bytes back" % (fin, len(got)))
        return 0 if fin and not got else 1
    if mode == "idle":
        s = connect(sys.argv[2], sys.argv[3])
        low, high = float(sys.argv[4]), float(sys.argv[5])
        start = time.monotonic()
        s.sendall(b"\x00")  # half a length prefix: never a complete message
        fin, got = ended(s, high + 5)
        took = time.monotonic() - start
        print("closed %s after %.1f s, %d bytes back" % (fin, took, len(got)))
        return 0 if fin and not got and low <= took <= high else 1
    if mode == "no-port":
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((sys.argv[3], 0))
        s.settimeout(10)
        try:
            s.connect((sys.argv[2], int(sys.argv[4]) if len(sys.argv) > 4 else 53))
        except ConnectionRefusedError:
            print("connection refused")
            return 0
        except OSError as e:
            print("connect failed otherwise: %s" % e)
            return 1
        print("connected")
        return 1
    if mode == "connect":
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((sys.argv[3], 0))
        s.settimeout(10)
        s.connect((sys.argv[2], int(sys.argv[4])))
        s.sendall(b"CONNECT %s HTTP/1.1\r\n\r\n" % sys.argv[5].encode())
        head = s.recv(200)
        print(head.split(b"\r\n")[0].decode("latin-1"))
        return 0 if head.startswith(b"HTTP/1.1 200") else 1
    print("unknown mode " + mode)
    return 1


sys.exit(main())
