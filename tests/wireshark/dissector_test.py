#!/usr/bin/env python3
"""The link dissector on hand-made frames: every kind of frame and every way a frame can be short
or lie about its length, decoded by tshark and compared field by field.
Usage: dissector_test.py DISSECTOR.lua WORK-DIR"""
import os
import struct
import subprocess
import sys

FIELDS = ["dulvex.app", "dulvex.from", "dulvex.type", "dulvex.flags", "dulvex.seq", "dulvex.len",
          "dulvex.cmd", "dulvex.status", "dulvex.data", "_ws.expert.message"]

# (port, frame bytes in hex, expected fields in FIELDS order; the expert messages joined by ';')
CASES = [
    (33332, "08 00 00 03 00 00 00", "Master|service|data|0x08|0|3|0x0000||00|"),
    (33332, "08 05 00 06 80 00 00 07 41 42", "Master|service|data|0x08|5|6|0x8000|0x0007|4142|"),
    (33333, "0C 05", "Fleet|service|ACK|0x0c|5|||||"),
    (33334, "0B 09", "MBCA|service|NAK resync|0x0b|9|||||Asks for frame 9 again with SYNC"),
    (33335, "04 FF", "Maint|terminal|ACK|0x04|255|||||"),
    (33336, "02 07", "Petro|terminal|NAK|0x02|7|||||"),
    (33336, "01 05 00 02 12 34", "Petro|terminal|data resync|0x01|5|2|0x1234|||Sets the expected number to 5"),
    (33332, "06 03", "Master|terminal|ACK+NAK|0x06|3|||||Both ACK and NAK set"),
    (33332, "04 03 00", "Master|terminal|ACK|0x04|3|||||Link frame of 3 bytes; the rest is ignored"),
    (33332, "44 03", "Master|terminal|ACK|0x44|3|||||Reserved flag bits set"),
    # Short frames: no sequence; no command; a response without room for its status.
    (33332, "00", "Master|terminal|data|0x00||||||Datagram of 1 byte: no sequence number"),
    (33332, "00 01 00 02 12", "Master|terminal|data|0x00|1|||||Data frame of 5 bytes, its header needs 6"),
    (33332, "00 01 00 04 80 01 00", "Master|terminal|data|0x00|1|||||Data frame of 7 bytes, its header needs 8"),
    # Lying lengths: beyond the datagram; below the command word; more data than a frame holds.
    (33332, "00 01 00 09 12 34 41", "Master|terminal|data|0x00|1|9|0x1234||41|Length 9, but only 3 bytes follow it"),
    (33332, "00 01 00 01 12 34", "Master|terminal|data|0x00|1|1|0x1234|||"
     "Length 1 is below the 2 bytes of command and status: acknowledged, not delivered"),
    (33332, "00 01 00 03 80 00 00 00", "Master|terminal|data|0x00|1|3|0x8000|0x0000||"
     "Length 3 is below the 4 bytes of command and status: acknowledged, not delivered"),
    (33332, "00 02 02 5B 12 34" + " 00" * 601, "Master|terminal|data|0x00|2|603|0x1234||" + "00" * 601 +
     "|601 data bytes, at most 600"),
    (33332, "00 02 00 02 12 34 FF EE", "Master|terminal|data|0x00|2|2|0x1234|||2 bytes after the length, ignored"),
]


def pcap(frames):
    """A classic pcap of Ethernet/IPv4/UDP frames between the test network's two addresses."""
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)
    for i, (port, payload) in enumerate(frames):
        host_to_term = payload[0] & 0x08 if payload else True
        src, dst = (bytes([198, 18, 0, 1]), bytes([198, 18, 0, 2]))
        if not host_to_term:
            src, dst = dst, src
        udp = struct.pack(">HHHH", port, port, 8 + len(payload), 0) + payload
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), i, 0, 64, 17, 0, src, dst)
        eth = b"\x02\x00\x00\x00\x00\x02\x02\x00\x00\x00\x00\x01\x08\x00"
        frame = eth + ip + udp
        out += struct.pack("<IIII", 1700000000 + i, 0, len(frame), len(frame)) + frame
    return out


def main():
    lua, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    path = os.path.join(work, "dissector_cases.pcap")
    with open(path, "wb") as fh:
        fh.write(pcap([(port, bytes.fromhex(text)) for port, text, _ in CASES]))
    cmd = ["tshark", "-n", "-r", path, "-X", "lua_script:" + lua, "-T", "fields", "-E", "separator=|",
           "-E", "aggregator=;", "-E", "occurrence=a"]
    for field in FIELDS:
        cmd += ["-e", field]
    run = subprocess.run(cmd, capture_output=True, text=True)
    lines = run.stdout.splitlines()
    failures = 0
    if run.returncode != 0 or len(lines) != len(CASES):
        print("FAIL: tshark exit %d, %d lines for %d frames\n%s" % (run.returncode, len(lines), len(CASES),
                                                                     run.stderr))
        return 1
    for (port, text, want), got in zip(CASES, lines):
        if got != want:
            print("FAIL: %s on %d\n  want %s\n  got  %s" % (text[:40], port, want, got))
            failures += 1
        else:
            print("ok: %s" % want[:100])
    if "Lua" in run.stderr or "error" in run.stderr.lower():
        print("FAIL: tshark says: " + run.stderr)
        failures += 1
    print("%d of %d frames decoded as expected" % (len(CASES) - failures, len(CASES)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
