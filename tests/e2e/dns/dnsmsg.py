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


def answer(msg, rrs):
    """The answer to query `msg` carrying `rrs` [(type, rdata)], named by a
    pointer to the question."""
    name, fin = question(msg)
    ident, flags = struct.unpack(">HH", msg[:4])
    head = struct.pack(">HHHHHH", ident, 0x8400 | (flags & 0x0100), 1, len(rrs), 0, 0)
    body = b"".join(struct.pack(">HHHIH", 0xC00C, t, IN, 60, len(d)) + d for t, d in rrs)
    return head + msg[12:fin] + body


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
