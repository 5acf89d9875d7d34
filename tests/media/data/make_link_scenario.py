#!/usr/bin/env python3
"""Writes link_scenario.csv: the feedback a client sends for a 60 fps stream over 40 s.

  0-10 s   clean: 3 ms assembly, 3,950 kbit/s received; the client's delay window fills for the
           first 30 frames (noData), then reports normal; three frames carry an unknown delay byte.
  10-15 s  congested: frames whose index ends in 0, 3 or 6 are lost (30 %), the others take 9 ms to
           assemble, the client reports overuse and receives 400 kbit/s.
  15-17 s  recovering: clean frames, the queue drains (underuse), 600 kbit/s received.
  17-40 s  clean again: 3 ms assembly, normal, 3,950 kbit/s.

Columns: now µs (host clock at the feedback), status, assemble µs, delay-signal byte, receive kbit/s.
"""
import sys

T0 = 5_000_000_000
FRAME_US = 16_667

def rows():
    for i in range(2400):
        now = T0 + i * FRAME_US
        if i < 600:
            delay = 0 if i < 30 else (7 if i in (300, 301, 302) else 1)
            yield now, "clean", 3000, delay, 3950
        elif i < 900:
            lost = i % 10 in (0, 3, 6)
            yield now, "lost" if lost else "clean", 0 if lost else 9000, 2, 400
        elif i < 1020:
            yield now, "clean", 3000, 3, 600
        else:
            yield now, "clean", 3000, 1, 3950

def main(path):
    with open(path, "w") as out:
        out.write("nowUs,status,assembleUs,delaySignal,recvRateKbps\n")
        for r in rows():
            out.write(",".join(str(x) for x in r) + "\n")

if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "link_scenario.csv")
