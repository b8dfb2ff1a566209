"""DNS messages for the relay's end-to-end tests: just enough to build
queries and the responder's answers, standard library only."""
import struct

A, TXT, IN = 1, 16, 1


def query(ident, name, qtype=A):
    """A recursive query for `name`, identifier `ident` (host order)."""
    q = struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0)
    for label in name.rstrip(".").split("."):
        q += bytes([len(label)]) + label.encode()
    return q + b"\0" + struct.pack(">HH", qtype, IN)


def question(msg):
    """(name, end of the question section) of a message, or None."""
    if len(msg) < 12:
        return None
    labels, i = [], 12
    while i < len(msg):
        n = msg[i]
        if n == 0:
            if i + 5 > len(msg):
                return None
            return ".".join(labels).lower(), i + 5
        if n > 63 or i + 1 + n > len(msg):
            return None
        labels.append(msg[i + 1:i + 1 + n].decode("ascii", "replace"))
        i += 1 + n
    return None


def answer(msg, rrs, ttl=60, rcode=0, authority=()):
    """The answer to query `msg` carrying `rrs` [(type, rdata)], named by a
    pointer to the question, each with `ttl`; `authority` [(type, ttl,
    rdata)] likewise."""
    name, fin = question(msg)
    ident, flags = struct.unpack(">HH", msg[:4])
    head = struct.pack(">HHHHHH", ident, 0x8400 | (flags & 0x0100) | rcode, 1, len(rrs), len(authority), 0)
    body = b"".join(struct.pack(">HHHIH", 0xC00C, t, IN, ttl, len(d)) + d for t, d in rrs)
    body += b"".join(struct.pack(">HHHIH", 0xC00C, t, IN, tt, len(d)) + d for t, tt, d in authority)
    return head + msg[12:fin] + body


SOA = 6


def soa_rdata(minimum):
    """An SOA's data: two root names, then serial, refresh, retry, expire
    and MINIMUM."""
    return b"\0\0" + struct.pack(">IIIII", 1, 3600, 600, 86400, minimum)


def ttls(msg):
    """The TTLs of the answer and authority records of a message whose
    names are all pointers (as answer() writes them), with the RCODE."""
    _, i = question(msg)
    nb = struct.unpack(">H", msg[6:8])[0] + struct.unpack(">H", msg[8:10])[0]
    out = []
    for _ in range(nb):
        _, _, _, ttl, n = struct.unpack(">HHHIH", msg[i:i + 12])
        out.append(ttl)
        i += 12 + n
    return out


def big_answer(msg):
    """About 6 KiB of TXT records, every byte a function of the question
    (not of the identifier, which a hardened relay replaces)."""
    rrs, seed = [], sum(msg[12:])
    for k in range(24):
        text = bytes((k * 31 + j * 7 + seed) % 94 + 33 for j in range(255))
        rrs.append((TXT, bytes([255]) + text))
    return answer(msg, rrs)


def a_answer(msg, address):
    return answer(msg, [(A, bytes(int(x) for x in address.split(".")))])
