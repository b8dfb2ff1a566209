#!/usr/bin/env python3
"""One tunnel held open across an event: opens it, echoes N bytes through it,
prints "before ok", waits until the file GO exists, echoes N more bytes,
prints "after ok". Every byte must come back as sent; any failure prints
"FAILED: ..." and exits 1.

    qv_tunnel_pause.py --src ADDR --proxy HOST:PORT --target HOST:PORT --go FILE [--bytes N]
"""
import argparse
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qv_client  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--src", required=True)
    p.add_argument("--proxy", type=qv_client.hostport, required=True)
    p.add_argument("--target", required=True)
    p.add_argument("--go", required=True)
    p.add_argument("--bytes", type=int, default=200000)
    p.add_argument("--wait", type=float, default=120.0)
    a = p.parse_args()
    rnd = random.Random(7)
    try:
        s, st, _ = qv_client.open_tunnel(a.src, a.proxy, a.target)
        if s is None:
            print("FAILED: no tunnel: %s" % qv_client.describe(st), flush=True)
            return 1
        for phase in ("before", "after"):
            if phase == "after":
                deadline = time.monotonic() + a.wait
                while not os.path.exists(a.go):
                    if time.monotonic() > deadline:
                        print("FAILED: %s never appeared" % a.go, flush=True)
                        return 1
                    time.sleep(0.05)
            data = bytes(rnd.getrandbits(8) for _ in range(a.bytes))
            got = qv_client.exchange(s, data, half_close=False)
            if got != data:
                print("FAILED: %s: %d bytes back of %d, equal: %s" % (phase, len(got), len(data), got == data[:len(got)]), flush=True)
                return 1
            print("%s ok" % phase, flush=True)
        s.close()
        return 0
    except OSError as e:
        print("FAILED: %s" % e, flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main())
