#!/usr/bin/python3
"""Clients for the soak and fault tests of the tunnel port and the DNS relay.

Subcommands (each prints one JSON object on standard output and exits 0 when
nothing unexpected happened, 1 otherwise):

  load     mixed load on both services for --seconds (or --max-ops): tunnels
           opened, streamed through an echo target, checked and closed; refused
           and wrong-method clients; DNS queries from allowed and refused
           addresses
  dns      --count queries from one address, each tried up to --tries times
  hold     --clients tunnels opened at once and held, then all closed
  garbage  random bytes, truncated and malformed requests on the tunnel port;
           random datagrams on port 53
  rstpage  clients that reset their connection while the error page is sent
  reset    tunnels whose target resets mid-stream, and clients that reset
           while the target streams

Every loop is bounded in count and in time; every socket has a timeout.
Standard library only.
"""
import argparse
import json
import os
import random
import selectors
import socket
import struct
import sys
import threading
import time

CHUNK = 64 * 1024
RANDOM = os.urandom(1 << 20)          # payloads are slices of this


# ---------------------------------------------------------------- helpers

def hostport(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


def connect_from(src, dest, timeout=10.0):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    try:
        if src:
            s.bind((src, 0))
        s.connect(dest)
    except OSError:
        s.close()
        raise
    return s


def reset_close(s):
    """Closes with RST instead of FIN."""
    try:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    s.close()


def read_head(s, timeout=15.0):
    """Reads up to the blank line. Returns (head, extra); head is b"" when the
    peer closed first. Raises socket.timeout when nothing completes in time."""
    s.settimeout(timeout)
    buf = b""
    while b"\r\n\r\n" not in buf:
        try:
            chunk = s.recv(4096)
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            return b"", buf
        buf += chunk
        if len(buf) > 1 << 20:
            break
    head, _, extra = buf.partition(b"\r\n\r\n")
    return head + b"\r\n\r\n", extra


def read_to_end(s, timeout=15.0, limit=1 << 22):
    """Everything until end of stream; a reset counts as the end too."""
    s.settimeout(timeout)
    buf = b""
    while len(buf) < limit:
        try:
            chunk = s.recv(CHUNK)
        except ConnectionResetError:
            break
        if not chunk:
            break
        buf += chunk
    return buf


def status_of(head):
    try:
        return int(head.split(b" ", 2)[1])
    except (IndexError, ValueError):
        return 0


def connect_request(target):
    return ("CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (target, target)).encode()


def open_tunnel(src, proxy, target, timeout=15.0, talks_first=False):
    """(tunnel socket after its 200, 200, bytes that came with the 200), or
    (None, status, b""). Only a target that talks first may send bytes
    before the client does."""
    s = connect_from(src, proxy, timeout)
    try:
        s.sendall(connect_request(target))
        head, extra = read_head(s, timeout)
    except OSError:
        s.close()
        raise
    st = status_of(head)
    if st != 200 or (extra and not talks_first):
        s.close()
        return None, -1 if st == 200 else st, b""
    return s, 200, extra


def describe(st):
    return "a 200 followed by bytes nobody sent" if st == -1 else "status %d" % st


def exchange(s, data, timeout=30.0, half_close=True):
    """Sends `data` while reading what comes back; after the last byte,
    half-closes (or not) and reads until the peer's end of stream."""
    s.setblocking(False)
    sel = selectors.DefaultSelector()
    view = memoryview(data)
    sent = 0
    got = bytearray()
    deadline = time.monotonic() + timeout
    writing = True

    def done_writing():
        nonlocal writing
        writing = False
        if half_close:
            s.shutdown(socket.SHUT_WR)
        sel.modify(s, selectors.EVENT_READ)

    sel.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE)
    try:
        if not data:
            done_writing()
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("exchange timed out after %d of %d bytes back" % (len(got), len(data)))
            for _, ev in sel.select(left):
                if ev & selectors.EVENT_READ:
                    try:
                        chunk = s.recv(CHUNK)
                    except BlockingIOError:
                        chunk = None
                    if chunk == b"":
                        return bytes(got)
                    if chunk:
                        got += chunk
                        if not half_close and not writing and len(got) >= len(data):
                            return bytes(got)
                if writing and ev & selectors.EVENT_WRITE:
                    try:
                        sent += s.send(view[sent:sent + CHUNK])
                    except BlockingIOError:
                        pass
                    if sent == len(data):
                        done_writing()
    finally:
        sel.close()
        s.setblocking(True)


def dns_query(qid, name):
    hdr = struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0)
    q = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0"
    return hdr + q + struct.pack(">HH", 1, 1)


def dns_answer_addr(msg):
    """The first A record's address of an answer, or None."""
    try:
        qd, an = struct.unpack(">HH", msg[4:8])
        if msg[3] & 0x0F or an == 0:
            return None
        i = 12
        for _ in range(qd):
            while msg[i]:
                i += 1 + msg[i]
            i += 5
        for _ in range(an):
            if msg[i] & 0xC0 == 0xC0:
                i += 2
            else:
                while msg[i]:
                    i += 1 + msg[i]
                i += 1
            typ, _, _, rdlen = struct.unpack(">HHIH", msg[i:i + 10])
            i += 10
            if typ == 1 and rdlen == 4:
                return socket.inet_ntoa(msg[i:i + 4])
            i += rdlen
    except (IndexError, struct.error):
        return None
    return None


class DnsAsker:
    """One UDP socket from one source address; queries with fresh identifiers."""

    def __init__(self, src, server):
        self.s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.s.bind((src, 0))
        self.server = (server, 53)

    def ask(self, name, timeout):
        """(answer address or '' for an answer without one) or None when lost."""
        qid = random.randrange(1, 65536)
        self.s.sendto(dns_query(qid, name), self.server)
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.s.settimeout(left)
            try:
                msg, frm = self.s.recvfrom(65536)
            except socket.timeout:
                return None
            # Late answers to earlier, lost queries carry other identifiers.
            if frm == self.server and len(msg) >= 12 and struct.unpack(">H", msg[:2])[0] == qid \
                    and msg[2] & 0x80:
                return dns_answer_addr(msg) or ""

    def close(self):
        self.s.close()


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}
        self.errors = []

    def add(self, key, n=1):
        with self.lock:
            self.counts[key] = self.counts.get(key, 0) + n

    def error(self, text):
        with self.lock:
            self.counts["unexpected"] = self.counts.get("unexpected", 0) + 1
            if len(self.errors) < 20:
                self.errors.append(text)

    def result(self, **extra):
        with self.lock:
            out = dict(sorted(self.counts.items()))
            out.update(extra)
            if self.errors:
                out["errors"] = list(self.errors)
            return out


# ---------------------------------------------------------------- load

def load(a):
    proxy = hostport(a.proxy)
    allowed = a.allowed.split(",")
    t = Tally()
    stop_at = time.monotonic() + a.seconds
    budget = [a.max_ops]
    budget_lock = threading.Lock()

    def more():
        if time.monotonic() >= stop_at:
            return False
        with budget_lock:
            if budget[0] <= 0:
                return False
            budget[0] -= 1
            return True

    def tunnel_worker(seed):
        rnd = random.Random(seed)
        while more():
            src = rnd.choice(allowed)
            kind = rnd.random()
            try:
                if kind < 0.78:                        # a tunnel streamed and closed
                    size = rnd.choice((0, 1, 100, 1500, 16384, 65536, 200000, rnd.randrange(1, 1 << 20)))
                    off = rnd.randrange(0, len(RANDOM) - size + 1)
                    data = RANDOM[off:off + size]
                    s, st, _ = open_tunnel(src, proxy, a.target)
                    if s is None:
                        t.error("tunnel: " + describe(st))
                        continue
                    with s:
                        back = exchange(s, data)
                    if back != data:
                        t.error("tunnel: %d bytes sent, %d back, equal prefix %s" %
                                (len(data), len(back), data[:len(back)] == back))
                    else:
                        t.add("tunnels_ok")
                        t.add("tunnel_bytes", 2 * size)
                elif kind < 0.84:                      # the client drops a tunnel mid-stream
                    s, st, _ = open_tunnel(src, proxy, a.target)
                    if s is None:
                        t.error("tunnel (dropped): " + describe(st))
                        continue
                    s.sendall(RANDOM[:rnd.randrange(1, 300000)])
                    if rnd.random() < 0.5:
                        reset_close(s)
                    else:
                        s.close()
                    t.add("tunnels_dropped")
                elif kind < 0.90:                      # refused client
                    with connect_from(a.refused, proxy) as s:
                        head, _ = read_head(s)
                    t.add("refused_403") if status_of(head) == 403 else t.error("refused tunnel: %r" % head[:40])
                elif kind < 0.95:                      # wrong method
                    with connect_from(src, proxy) as s:
                        s.sendall(b"GET http://%s/ HTTP/1.1\r\nHost: x\r\n\r\n" % a.target.encode())
                        head, _ = read_head(s)
                    t.add("get_405") if status_of(head) == 405 else t.error("GET: %r" % head[:40])
                else:                                  # nothing listens on the target port
                    with connect_from(src, proxy) as s:
                        s.sendall(connect_request(a.closed_target))
                        head, _ = read_head(s)
                    t.add("closed_503") if status_of(head) == 503 else t.error("closed port: %r" % head[:40])
            except (OSError, TimeoutError) as e:
                t.error("tunnel worker: %r" % e)

    def idle_worker(seed):
        # Groups of idle tunnels held for a moment, each checked by one echoed
        # byte: the thread and descriptor counts swing up and back.
        rnd = random.Random(seed)
        while more():
            group = []
            try:
                # Always the same size: the peak of threads (and of their
                # stacks' memory) is reached during warm-up, not later.
                for _ in range(a.idle_group):
                    s, st, _ = open_tunnel(rnd.choice(allowed), proxy, a.target)
                    if s is None:
                        t.error("idle tunnel: " + describe(st))
                        continue
                    group.append(s)
                time.sleep(min(rnd.uniform(0.5, 3.0), max(0.0, stop_at - time.monotonic())))
                for s in group:
                    s.settimeout(10)
                    s.sendall(b"x")
                    if s.recv(1) != b"x":
                        t.error("idle tunnel: no echo")
                    else:
                        t.add("idle_tunnels_ok")
            except (OSError, TimeoutError) as e:
                t.error("idle worker: %r" % e)
            finally:
                for s in group:
                    s.close()

    def dns_worker(seed):
        rnd = random.Random(seed)
        random.seed(seed)
        askers = {src: DnsAsker(src, a.dns) for src in allowed}
        try:
            while more():
                # 5 s: an answer that is slow on a loaded machine is not lost.
                r = askers[rnd.choice(allowed)].ask("h%d.%s" % (rnd.randrange(1000), a.zone), 5.0)
                if r is None:
                    t.add("dns_lost")
                elif r == "":
                    t.error("dns: answer without an address")
                else:
                    t.add("dns_answered")
        finally:
            for k in askers.values():
                k.close()

    def refused_dns_worker(seed):
        # The relay must stay silent to a refused client and log each datagram.
        asker = DnsAsker(a.refused, a.dns)
        try:
            while more():
                if asker.ask("r.%s" % a.zone, 0.05) is not None:
                    t.error("dns: a refused client got an answer")
                t.add("dns_refused_sent")
        finally:
            asker.close()

    workers = [tunnel_worker] * a.tunnel_workers + [idle_worker] * a.idle_workers \
        + [dns_worker] * a.dns_workers + [refused_dns_worker] * a.refused_dns_workers
    threads = [threading.Thread(target=w, args=(a.seed + i,), daemon=True) for i, w in enumerate(workers)]
    t0 = time.monotonic()
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout=max(1.0, stop_at + 60 - time.monotonic()))
    hung = sum(th.is_alive() for th in threads)
    if hung:
        t.error("%d workers still running after the deadline" % hung)
    res = t.result(seconds=round(time.monotonic() - t0, 1))
    answered, lost = res.get("dns_answered", 0), res.get("dns_lost", 0)
    # A UDP query may be lost on a busy machine; more than 1% is not noise.
    if lost > max(2, (answered + lost) // 100):
        t.error("dns: %d of %d queries lost" % (lost, answered + lost))
        res = t.result(seconds=res["seconds"])
    print(json.dumps(res))
    return 1 if res.get("unexpected") else 0


# ---------------------------------------------------------------- dns

def dns(a):
    asker = DnsAsker(a.src, a.server)
    first_try = answered = 0
    via = {}
    deadline = time.monotonic() + a.max_seconds
    try:
        for i in range(a.count):
            if time.monotonic() > deadline:
                break
            for k in range(a.tries):
                r = asker.ask("q%d.%s" % (i, a.zone), a.timeout)
                if r is not None:
                    answered += 1
                    first_try += k == 0
                    via[r] = via.get(r, 0) + 1
                    break
    finally:
        asker.close()
    print(json.dumps({"asked": a.count, "answered": answered, "answered_first_try": first_try,
                      "answers": via}))
    return 0


# ---------------------------------------------------------------- hold

def hold(a):
    proxy = hostport(a.proxy)
    t = Tally()
    socks = []
    t0 = time.monotonic()
    for _ in range(a.clients):
        try:
            s = connect_from(a.src, proxy, 10)
            s.sendall(connect_request(a.target))
            socks.append(s)
        except OSError as e:
            t.add("connect_failed")
            if len(t.errors) < 5:
                t.errors.append(repr(e))
    # Whatever the proxy answers within --wait: 200, an error page, a close.
    sel = selectors.DefaultSelector()
    bufs = {}
    for s in socks:
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ)
        bufs[s] = b""
    deadline = t0 + a.wait
    pending = set(socks)
    while pending and time.monotonic() < deadline:
        for key, _ in sel.select(max(0.0, deadline - time.monotonic())):
            s = key.fileobj
            try:
                chunk = s.recv(4096)
            except BlockingIOError:
                continue
            except OSError:
                chunk = b""
            if chunk:
                bufs[s] += chunk
            if not chunk or b"\r\n\r\n" in bufs[s]:
                sel.unregister(s)
                pending.discard(s)
                if chunk:
                    t.add("status_%d" % status_of(bufs[s]))
                else:
                    t.add("closed_without_answer" if not bufs[s] else "closed_mid_answer")
    t.add("no_answer_yet", len(pending))
    sel.close()
    tunnels = [s for s in socks if s not in pending and status_of(bufs[s]) == 200]
    alive = 0
    for s in tunnels:
        try:
            s.setblocking(True)
            s.settimeout(5)
            s.sendall(b"y")
            alive += s.recv(1) == b"y"
        except OSError:
            pass
    t.add("tunnels_echoing", alive)
    time.sleep(max(0.0, t0 + a.hold - time.monotonic()))
    for s in socks:
        s.close()
    print(json.dumps(t.result(seconds=round(time.monotonic() - t0, 1))))
    return 0


# ---------------------------------------------------------------- garbage

NASTY = [
    b"\r\n\r\n",
    b"\n\n",
    b"CONNECT\r\n\r\n",
    b"CONNECT \r\n\r\n",
    b"CONNECT :443 HTTP/1.1\r\n\r\n",
    b"CONNECT host: HTTP/1.1\r\n\r\n",
    b"CONNECT 10.0.0.1:99999999999999999999999 HTTP/1.1\r\n\r\n",
    b"CONNECT 10.0.0.1:-443 HTTP/1.1\r\n\r\n",
    b"CONNECT [::1]:443 HTTP/1.1\r\n\r\n",
    b"CONNECT " + b"a" * 5000 + b":443 HTTP/1.1\r\n\r\n",
    b"CONNECT " + b"a." * 3000 + b"b:443 HTTP/1.1\r\n\r\n",
    b"CONNECT http://:@:/ HTTP/1.1\r\n\r\n",
    b"CONNECT {T} HTTP/1.1\r\n" + b"".join(b"X-H%d: v\r\n" % i for i in range(200)) + b"\r\n",
    b"CONNECT {T} HTTP/1.1\r\n" + b"no colon here\r\n" * 50 + b"\r\n",
    b"CONNECT {T} HTTP/1.1\r\n: empty name\r\nName:\r\n:\r\n\r\n",
    b"CONNECT {T} HTTP/1.1\r\nX: " + b"v" * 60000 + b"\r\n\r\n",
    b"CONNECT {T}\r\n\r\n",
    b"CONNECT {T} HTTP/1.1 extra words here\r\n\r\n",
    b"\0\0\0\0CONNECT {T} HTTP/1.1\r\n\r\n",
    b"CONNECT {T} HTTP/1.1\0\r\n\r\n",
    b" " * 1000 + b"\r\n\r\n",
    b"\t\t\r\n\r\n",
    b"%n%n%n%s%s%s %s HTTP/1.1\r\n\r\n",
    b"GET http://{T}/ HTTP/1.1\r\n\r\n",
    b"GET / HTTP/1.1\r\n\r\n",
    b"GET\r\n\r\n",
    b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + bytes(range(256)) + b"\r\n\r\n",
]


def garbage(a):
    proxy = hostport(a.proxy)
    rnd = random.Random(a.seed)
    t = Tally()
    deadline = time.monotonic() + a.max_seconds

    def probe(src, payload, label, expect=None, verbose=False):
        """Sends, half-closes, reads the answer to the end. A hang is a fault."""
        try:
            with connect_from(src, proxy, 10) as s:
                try:
                    s.sendall(payload)
                    s.shutdown(socket.SHUT_WR)
                except OSError:
                    pass  # the proxy may answer and close before reading it all
                answer = read_to_end(s, a.read_timeout)
        except socket.timeout:
            t.error("%s: no end within %ss" % (label, a.read_timeout))
            return
        except OSError as e:
            t.error("%s: %r" % (label, e))
            return
        st = status_of(answer) if answer.startswith(b"HTTP/1.1 ") else None
        t.add("%s_answered_%s" % (label, st if st is not None else ("closed" if not answer else "junk")))
        if verbose:
            print(repr(payload[:70]), "->", repr(answer[:40]), file=sys.stderr)
        if expect is not None and st not in expect:
            t.error("%s: %r answered %r" % (label, payload[:60], answer[:60]))

    target = a.target.encode()
    full = b"CONNECT %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: fault-test\r\n\r\n" % (target, target)
    # A request cut at every length: the peer then closes its side.
    for cut in range(len(full)):
        if time.monotonic() > deadline:
            break
        probe(a.allowed, full[:cut], "truncated", expect={400, None})
    for n in NASTY:
        if time.monotonic() > deadline:
            break
        probe(a.allowed, n.replace(b"{T}", target), "malformed", verbose=a.verbose)
    for i in range(a.tcp_count):
        if time.monotonic() > deadline:
            break
        size = rnd.choice((1, 7, 100, 1000, 5000, rnd.randrange(1, 70000)))
        blob = rnd.randbytes(size)
        # Half the blobs end with a blank line, so the parser gets them whole.
        if i % 2:
            blob += b"\r\n\r\n"
        probe(a.allowed, blob, "random")
        if i % 10 == 0:
            # Refused clients are answered without a byte read; closing with
            # their bytes unread resets the connection, which may take the
            # page with it before it is read.
            probe(a.refused, blob, "refused_random", expect={403, None})

    # Datagrams: empty, one byte, two, a header's worth, random sizes, the
    # largest a UDP datagram can be; from allowed and refused addresses.
    sizes = [0, 1, 2, 3, 11, 12, 13, 512, 4096, 65507]
    sent = {"allowed": 0, "refused": 0, "refused_with_identifier": 0}
    srcs = {"allowed": a.allowed, "refused": a.refused}
    socks = {}
    for k, src in srcs.items():
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        u.bind((src, 0))
        u.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        socks[k] = u
    for i in range(a.udp_count):
        if time.monotonic() > deadline:
            break
        size = sizes[i] if i < len(sizes) else rnd.choice((rnd.randrange(0, 20), rnd.randrange(0, 600),
                                                            rnd.randrange(0, 9000)))
        k = "refused" if i % 4 == 3 else "allowed"
        socks[k].sendto(RANDOM[i % 1000:i % 1000 + size], (a.dns, 53))
        sent[k] += 1
        if k == "refused" and size >= 2:
            sent["refused_with_identifier"] += 1
        if i % 10 == 9:
            time.sleep(0.01)   # paced: a flood would only measure the socket buffer
    for u in socks.values():
        u.close()
    t.add("datagrams_allowed", sent["allowed"])
    t.add("datagrams_refused", sent["refused"])
    t.add("datagrams_refused_2_bytes_or_more", sent["refused_with_identifier"])
    print(json.dumps(t.result()))
    return 1 if t.result().get("unexpected") else 0


# ---------------------------------------------------------------- rstpage

def rstpage(a):
    proxy = hostport(a.proxy)
    rnd = random.Random(a.seed)
    t = Tally()
    deadline = time.monotonic() + a.max_seconds
    requests = {"get": b"GET http://x/ HTTP/1.1\r\nHost: x\r\n\r\n",
                "bad": b"CONNECT :0 HTTP/1.1\r\n\r\n",
                "closed": connect_request(a.closed_target)}
    for i in range(a.count):
        if time.monotonic() > deadline:
            break
        kind = ("refused", "get", "bad", "closed")[i % 4]
        try:
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            # The smallest receive buffer: the page cannot all be waiting in it.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1)
            s.bind((a.refused if kind == "refused" else a.allowed, 0))
            s.settimeout(10)
            s.connect(proxy)
            if kind != "refused":
                s.sendall(requests[kind])
            wait = rnd.choice((0, 0, 0.0005, 0.002, 0.01))
            if wait:
                time.sleep(wait)
            if rnd.random() < 0.5:
                try:
                    s.recv(rnd.randrange(1, 120))
                except OSError:
                    pass
            reset_close(s)
            t.add("reset_" + kind)
        except OSError as e:
            t.error("%s: %r" % (kind, e))
    print(json.dumps(t.result()))
    return 1 if t.result().get("unexpected") else 0


# ---------------------------------------------------------------- reset

def reset(a):
    proxy = hostport(a.proxy)
    t = Tally()
    deadline = time.monotonic() + a.max_seconds
    worst = 0.0
    for i in range(a.count):
        if time.monotonic() > deadline:
            break
        try:
            s, st, first = open_tunnel(a.src, proxy, a.reset_target, talks_first=True)
            if s is None:
                t.error("reset target: " + describe(st))
                continue
            t0 = time.monotonic()
            with s:
                if i % 2:
                    # Uploading while the target resets: the send side must end too.
                    try:
                        back = exchange(s, RANDOM[:a.upload], timeout=a.end_within, half_close=False)
                    except TimeoutError:
                        t.error("reset target: tunnel did not end within %ss (upload)" % a.end_within)
                        continue
                    except (BrokenPipeError, ConnectionResetError):
                        back = b""
                else:
                    back = read_to_end(s, a.end_within)
            took = time.monotonic() - t0
            worst = max(worst, took)
            if took >= a.end_within:
                t.error("reset target: tunnel did not end within %ss" % a.end_within)
            else:
                t.add("ended_after_target_reset")
                t.add("bytes_before_end", len(first) + len(back))
        except socket.timeout:
            t.error("reset target: tunnel did not end within %ss" % a.end_within)
        except OSError as e:
            t.error("reset target: %r" % e)
        try:
            s, st, first = open_tunnel(a.src, proxy, a.stream_target, talks_first=True)
            if s is None:
                t.error("stream target: " + describe(st))
                continue
            got = len(first)
            s.settimeout(10)
            while got < a.upload:
                chunk = s.recv(CHUNK)
                if not chunk:
                    t.error("stream target: ended early")
                    break
                got += len(chunk)
            reset_close(s)
            t.add("client_reset_mid_stream")
        except OSError as e:
            t.error("stream target: %r" % e)
    print(json.dumps(t.result(worst_end_seconds=round(worst, 3))))
    return 1 if t.result().get("unexpected") else 0


# ---------------------------------------------------------------- main

def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="cmd", required=True)

    l = sub.add_parser("load")
    l.add_argument("--proxy", required=True)
    l.add_argument("--target", required=True, help="echo target host:port")
    l.add_argument("--closed-target", required=True, help="host:port where nothing listens")
    l.add_argument("--dns", required=True)
    l.add_argument("--zone", default="soak.test")
    l.add_argument("--allowed", required=True, help="comma-separated source addresses")
    l.add_argument("--refused", required=True)
    l.add_argument("--seconds", type=float, default=60)
    l.add_argument("--max-ops", type=int, default=10 ** 7)
    l.add_argument("--tunnel-workers", type=int, default=6)
    l.add_argument("--idle-workers", type=int, default=2)
    l.add_argument("--idle-group", type=int, default=30)
    l.add_argument("--dns-workers", type=int, default=2)
    l.add_argument("--refused-dns-workers", type=int, default=1)
    l.add_argument("--seed", type=int, default=1)

    d = sub.add_parser("dns")
    d.add_argument("--server", required=True)
    d.add_argument("--src", required=True)
    d.add_argument("--zone", default="soak.test")
    d.add_argument("--count", type=int, default=20)
    d.add_argument("--tries", type=int, default=1)
    d.add_argument("--timeout", type=float, default=0.5)
    d.add_argument("--max-seconds", type=float, default=120)

    h = sub.add_parser("hold")
    h.add_argument("--proxy", required=True)
    h.add_argument("--src", required=True)
    h.add_argument("--target", required=True)
    h.add_argument("--clients", type=int, default=200)
    h.add_argument("--wait", type=float, default=8)
    h.add_argument("--hold", type=float, default=10)

    g = sub.add_parser("garbage")
    g.add_argument("--proxy", required=True)
    g.add_argument("--target", required=True)
    g.add_argument("--dns", required=True)
    g.add_argument("--allowed", required=True)
    g.add_argument("--refused", required=True)
    g.add_argument("--tcp-count", type=int, default=200)
    g.add_argument("--udp-count", type=int, default=2000)
    # Long enough for a loaded machine, short of the 30 s header limit that
    # would answer a request left hanging.
    g.add_argument("--read-timeout", type=float, default=20)
    g.add_argument("--max-seconds", type=float, default=240)
    g.add_argument("--seed", type=int, default=7)
    g.add_argument("--verbose", action="store_true", help="each malformed request and its answer on stderr")

    r = sub.add_parser("rstpage")
    r.add_argument("--proxy", required=True)
    r.add_argument("--allowed", required=True)
    r.add_argument("--refused", required=True)
    r.add_argument("--closed-target", required=True)
    r.add_argument("--count", type=int, default=400)
    r.add_argument("--max-seconds", type=float, default=120)
    r.add_argument("--seed", type=int, default=3)

    x = sub.add_parser("reset")
    x.add_argument("--proxy", required=True)
    x.add_argument("--src", required=True)
    x.add_argument("--reset-target", required=True)
    x.add_argument("--stream-target", required=True)
    x.add_argument("--count", type=int, default=20)
    x.add_argument("--upload", type=int, default=512 * 1024)
    x.add_argument("--end-within", type=float, default=10)
    x.add_argument("--max-seconds", type=float, default=180)

    a = p.parse_args()
    return {"load": load, "dns": dns, "hold": hold, "garbage": garbage, "rstpage": rstpage,
            "reset": reset}[a.cmd](a)


if __name__ == "__main__":
    sys.exit(main())
