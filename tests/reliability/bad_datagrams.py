#!/usr/bin/python3
"""Hostile datagrams from the terminal's own address and port, then one valid data frame.

Runs inside the terminal's namespace in place of termsim (it binds the application's port on
198.18.0.2 and talks to the service at 198.18.0.1 only). For each application it sends random
bytes, every truncation of a data frame, frames whose length field lies, oversize datagrams and
frames with wrong flags; then a valid data frame with the resync flag, which the service must
acknowledge (ACK flag, the frame's own number), at once or after its resync NAK. Prints one line of counts per application and
"bad_datagrams ok" or the failures; exit code 0 only when every application acknowledged.
"""
import os
import random
import socket
import struct
import sys
import time

APPS = [("Master", 33332), ("MBCA", 33334), ("Maint", 33335), ("Fleet", 33333), ("Petro", 33336)]
SERVICE = "198.18.0.1"
TERMINAL = "198.18.0.2"
FLAG_SYNC, FLAG_NAK, FLAG_ACK, FLAG_HOST = 0x01, 0x02, 0x04, 0x08


def frame(flags, seq, cmd, data=b"", status=None, length=None):
    body = struct.pack(">H", cmd) + (struct.pack(">H", status) if status is not None else b"") + data
    return struct.pack(">BBH", flags, seq, len(body) if length is None else length) + body


def hostile(rng):
    """Yields (kind, bytes)."""
    for _ in range(200):
        yield "random", bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 700)))
    good = frame(0, 0x10, 0x0123, bytes(range(40)))
    for cut in range(0, len(good)):
        yield "truncated", good[:cut]
    resp = frame(0, 0x11, 0x8123, b"\x01\x02", status=0)
    for cut in range(4, 8):
        yield "truncated", resp[:cut]
    for lie in (0, 1, 3, 41, 43, 600, 0xFFFF):
        yield "length", frame(0, 0x12, 0x0123, bytes(40), length=lie)
    yield "length", frame(0, 0x13, 0x8123, b"", status=None)  # response without its status word
    for size in (609, 610, 1024, 1472, 8192, 65507):
        yield "oversize", frame(0, 0x14, 0x0123, bytes(rng.getrandbits(8) for _ in range(size - 6)))
    yield "oversize", frame(0, 0x15, 0x0123, bytes(601))
    for flags in (FLAG_HOST, FLAG_HOST | FLAG_ACK, 0xFF, 0xF0, FLAG_ACK | FLAG_NAK, FLAG_ACK | FLAG_SYNC,
                  FLAG_NAK | FLAG_SYNC, FLAG_ACK | FLAG_NAK | FLAG_SYNC):
        yield "flags", frame(flags, 0x20, 0x0123, b"\xAA")
    for flags in (FLAG_ACK, FLAG_NAK, FLAG_NAK | FLAG_SYNC, FLAG_HOST | FLAG_ACK, 0xFF):
        for seq in (0x00, 0x7F, 0xFF):
            yield "flags", bytes([flags, seq])
        yield "flags", bytes([flags])
        yield "flags", bytes([flags, 0x01, 0x02])


def main():
    seed = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    # BAD_APPS and BAD_KINDS (comma lists) narrow a run down when looking for a culprit.
    only_apps = [a for a in os.environ.get("BAD_APPS", "").split(",") if a]
    only_kinds = [k for k in os.environ.get("BAD_KINDS", "").split(",") if k]
    rng = random.Random(seed)
    failures = 0
    for index, (name, port) in enumerate(APPS):
        if only_apps and name not in only_apps:
            continue
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((TERMINAL, port))
        s.connect((SERVICE, port))
        s.settimeout(0.01)
        counts = {}
        for kind, data in hostile(rng):
            if only_kinds and kind not in only_kinds:
                continue
            try:
                s.send(data)
                counts[kind] = counts.get(kind, 0) + 1
            except OSError:
                counts[kind + "_refused_locally"] = counts.get(kind + "_refused_locally", 0) + 1
            time.sleep(0.001)
        time.sleep(0.3)
        # Whatever the service sent meanwhile (ACKs, NAKs, echo answers) is not our business.
        while True:
            try:
                s.recv(70000)
            except OSError:
                break
        # The resync flag counts only as the answer to the service's own resync NAK: a frame
        # whose number the service does not expect draws a NAK naming it, and the same frame
        # sent again must then be taken and acknowledged.
        seq = 0x40 + index
        valid = frame(FLAG_SYNC, seq, 0x0077, b"valid after abuse")
        s.send(valid)
        acked = None
        resends = 0
        deadline = time.time() + 3
        s.settimeout(0.1)
        while time.time() < deadline and acked is None:
            try:
                d = s.recv(70000)
            except OSError:
                continue
            if len(d) == 2 and d[0] & FLAG_ACK and d[0] & FLAG_HOST and d[1] == seq:
                acked = d
            elif len(d) == 2 and d[0] & FLAG_NAK and d[0] & FLAG_HOST and d[1] == seq and resends < 3:
                resends += 1
                s.send(valid)
            elif len(d) >= 4 and not d[0] & (FLAG_ACK | FLAG_NAK):
                s.send(bytes([FLAG_ACK, d[1]]))  # acknowledge the service's own data frames
        counts["resends_on_nak"] = resends
        line = " ".join(f"{k}={v}" for k, v in sorted(counts.items()))
        print(f"app={name} {line} valid_frame_acked={'yes' if acked else 'no'}")
        if not acked:
            failures += 1
        s.close()
    print("bad_datagrams " + ("ok" if failures == 0 else f"FAILED {failures}"))
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
