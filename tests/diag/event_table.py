#!/usr/bin/env python3
"""The event ids three places name must agree: service/diag/events.h (what the program writes),
service/host/messages.mc (the message table Event Viewer formats them with) and the table in
docs/troubleshooting.md (what an administrator reads). Each EVENT_X has a MSG_X of the same
severity, facility and number, and each has a row "| <number> | <level> |" in the page.

    event_table.py EVENTS_H MESSAGES_MC TROUBLESHOOTING_MD
"""
import re
import sys

LEVELS = {1: "Information", 2: "Warning", 3: "Error"}


def header_ids(text):
    return {name: int(value, 16)
            for name, value in re.findall(r"constexpr unsigned long EVENT_(\w+) = 0x([0-9A-Fa-f]+)UL;", text)}


def table_ids(text):
    severities = {n: int(v, 16) for n, v in re.findall(r"(\w+)=(0x[0-9A-Fa-f]+):STATUS_SEVERITY", text)}
    facilities = {n: int(v, 16) for n, v in re.findall(r"(\w+)=(0x[0-9A-Fa-f]+):FACILITY_", text)}
    ids = {}
    for block in re.split(r"^\.$", text, flags=re.M):
        fields = dict(re.findall(r"^(MessageId|Severity|Facility|SymbolicName)=(\S+)", block, re.M))
        if "MessageId" not in fields:
            continue
        name = fields.get("SymbolicName", "")
        if not name.startswith("MSG_"):
            raise SystemExit(f"message {fields['MessageId']}: symbolic name {name!r} is not MSG_...")
        value = (severities[fields["Severity"]] << 30) | (facilities[fields["Facility"]] << 16) | int(
            fields["MessageId"], 16)
        if name[4:] in ids:
            raise SystemExit(f"{name} twice in the message table")
        ids[name[4:]] = value
    return ids


def main():
    header, table, page = (open(p, encoding="utf-8").read() for p in sys.argv[1:4])
    events, messages = header_ids(header), table_ids(table)
    fail = []
    if not events or not messages:
        fail.append(f"nothing read: {len(events)} ids in the header, {len(messages)} in the table")
    if len(set(events.values())) != len(events):
        fail.append("two EVENT_ names share one id")
    for name in sorted(set(events) | set(messages)):
        e, m = events.get(name), messages.get(name)
        if e is None:
            fail.append(f"MSG_{name} (0x{m:08X}) has no EVENT_{name} in events.h")
        elif m is None:
            fail.append(f"EVENT_{name} (0x{e:08X}) has no MSG_{name} in messages.mc")
        elif e != m:
            fail.append(f"EVENT_{name} is 0x{e:08X}, MSG_{name} 0x{m:08X}")
        if e is None:
            continue
        row = rf"^\| {e & 0xFFFF} \| {LEVELS.get(e >> 30, '?')} \|"
        if not re.search(row, page, re.M):
            fail.append(f"EVENT_{name}: no row '| {e & 0xFFFF} | {LEVELS.get(e >> 30, '?')} |' in troubleshooting.md")
    for line in fail:
        print(line)
    print(f"{len(events)} event ids checked")
    return 1 if fail else 0


if __name__ == "__main__":
    sys.exit(main())
