#!/usr/bin/python3
"""Tunnel targets for the soak and fault tests: TCP servers that the proxy
connects to on behalf of its clients. One process serves several ports:

  --echo PORT     sends back every byte it receives; passes a half-close on
  --reset PORT    sends RESET_BYTES bytes while reading whatever comes, then
                  resets the connection (RST, not FIN) in the middle of it
  --stream PORT   sends bytes without end until the peer goes away

Standard library only. The process stops by itself after --lifetime seconds,
so a test that dies without its cleanup leaves nothing running for long.
"""
import argparse
import os
import socket
import struct
import sys
import threading
import time

CHUNK = 64 * 1024


def serve(addr, port, handler, backlog=512):
    ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ls.bind((addr, port))
    ls.listen(backlog)

    def accept_loop():
        while True:
            try:
                c, _ = ls.accept()
            except OSError:
                return
            threading.Thread(target=guarded, args=(handler, c), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()


def guarded(handler, c):
    try:
        handler(c)
    except OSError:
        pass
    finally:
        try:
            c.close()
        except OSError:
            pass


def echo(c):
    c.settimeout(120)
    while True:
        data = c.recv(CHUNK)
        if not data:
            # The client half-closed: answer with our own end of stream so the
            # client sees the whole echo and then the end.
            c.shutdown(socket.SHUT_WR)
            return
        c.sendall(data)


def make_reset(nbytes):
    block = os.urandom(CHUNK)

    def reset(c):
        c.settimeout(30)
        c.setblocking(True)
        sent = 0
        while sent < nbytes:
            n = c.send(block[: min(CHUNK, nbytes - sent)])
            sent += n
        # Linger 0: close() sends RST at once instead of FIN.
        c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    return reset


def stream(c):
    c.settimeout(60)
    block = os.urandom(CHUNK)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        c.sendall(block)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--addr", default="0.0.0.0")
    p.add_argument("--echo", type=int, action="append", default=[])
    p.add_argument("--reset", type=int, action="append", default=[])
    p.add_argument("--reset-bytes", type=int, default=256 * 1024)
    p.add_argument("--stream", type=int, action="append", default=[])
    p.add_argument("--lifetime", type=float, default=1800)
    p.add_argument("--ready", help="file created once every port listens")
    a = p.parse_args()
    for port in a.echo:
        serve(a.addr, port, echo)
    for port in a.reset:
        serve(a.addr, port, make_reset(a.reset_bytes))
    for port in a.stream:
        serve(a.addr, port, stream)
    if a.ready:
        with open(a.ready, "w") as f:
            f.write("%d\n" % os.getpid())
    time.sleep(a.lifetime)
    return 0


if __name__ == "__main__":
    sys.exit(main())
