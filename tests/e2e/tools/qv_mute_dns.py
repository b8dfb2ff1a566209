#!/usr/bin/python3
"""A name server that never answers: it takes every query on ADDR:53 (UDP)
and drops it, writing one line per query ("query NAME") to LOG, so that a
test can tell when a resolution is under way. Ends after --lifetime seconds.

  qv_mute_dns.py --addr A --log FILE --ready FILE [--lifetime S]

Standard library only; every wait is bounded.
"""
import argparse
import socket
import time


def qname(d):
    """The question's name of a DNS query, or '?' when it cannot be read."""
    labels, i = [], 12
    try:
        while d[i] != 0 and len(labels) < 128:
            n = d[i]
            labels.append(d[i + 1:i + 1 + n].decode('ascii', 'replace'))
            i += 1 + n
    except IndexError:
        return '?'
    return '.'.join(labels) or '.'


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--addr', required=True)
    p.add_argument('--log', required=True)
    p.add_argument('--ready', required=True)
    p.add_argument('--lifetime', type=float, default=900.0)
    a = p.parse_args()
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((a.addr, 53))
    s.settimeout(1.0)
    end = time.monotonic() + a.lifetime
    with open(a.log, 'a', buffering=1) as log:
        open(a.ready, 'w').close()
        while time.monotonic() < end:
            try:
                d, _ = s.recvfrom(4096)
            except socket.timeout:
                continue
            log.write('query %s\n' % qname(d))


if __name__ == '__main__':
    main()
