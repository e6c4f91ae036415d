#!/bin/bash
# The SDK's C sample against the real DulvexSrv.exe -debug and termsim, with the link captured in
# the terminal's namespace meanwhile and decoded by the Wireshark dissector under tshark.
source "$(dirname "$0")/../e2e/lib.sh"
SAMPLE=$DULVEX_BUILD/sdk/sdk_sample.exe
DISSECTOR=$DULVEX_SOURCE/tools/wireshark/dulvex.lua
DUMPCAP_PID=

stop_capture() {
    [ -n "$DUMPCAP_PID" ] || return
    kill -INT "$DUMPCAP_PID" 2>/dev/null
    wait "$DUMPCAP_PID" 2>/dev/null
    DUMPCAP_PID=
}
trap 'stop_capture; e2e_cleanup' EXIT

e2e_require
SECONDS=0  # from here on the namespace is ours
for tool in dumpcap tshark; do
    command -v $tool >/dev/null || { echo "$tool is missing (Debian package tshark)"; exit 1; }
done
[ -e "$SAMPLE" ] || { echo "missing $SAMPLE (build the win64 preset first)"; exit 1; }
e2e_configure 198.18.0.2
e2e_termsim --reply=all

# Inside the namespace, so that only the link's own datagrams are seen.
bash "$NETNS" exec dumpcap -q -i dulvex-t0 -f 'udp portrange 33332-33336' -w "$E2E_WORK/link.pcapng" \
    2>"$E2E_WORK/dumpcap.log" &
DUMPCAP_PID=$!
for i in $(seq 1 50); do
    grep -q "Capturing on" "$E2E_WORK/dumpcap.log" 2>/dev/null && break
    sleep 0.1
done
grep -q "Capturing on" "$E2E_WORK/dumpcap.log" || { fail "dumpcap did not start"; exit 1; }

e2e_console_start || exit 1
$DULVEX_WINE "$SAMPLE" 0x1f 0x0123 00ff </dev/null >"$E2E_WORK/sample.out" 2>&1
rc=$?
tr -d '\r' <"$E2E_WORK/sample.out" >"$E2E_WORK/sample.log"
[ $rc -eq 0 ] && pass "the sample exits 0" || fail "the sample's exit code is $rc"
expect_grep "$E2E_WORK/sample.log" "sent command 0x0123 to mask 0x1F, 2 data bytes" "the sample sends"
for app in 01:Master 02:MBCA 04:Maint 08:Fleet 10:Petro; do
    expect_grep "$E2E_WORK/sample.log" "from 0x${app%%:*} (${app#*:}): command 0x8123 status 0x0000, 2 data bytes: 00 FF" \
        "${app#*:}'s answer reaches the sample"
done
$DULVEX_WINE "$SAMPLE" 0x20 </dev/null >/dev/null 2>&1
rc=$?
[ $rc -eq 2 ] && pass "a mask beyond the five applications is a usage error" || fail "mask 0x20: exit code $rc"
[ "$(e2e_console_stop)" = 0 ] && pass "the service stops with 0" || fail "the service did not stop in order"
stop_capture

tshark -n -r "$E2E_WORK/link.pcapng" -X lua_script:"$DISSECTOR" -Y dulvex -T fields -E separator='|' \
    -E aggregator=';' -e dulvex.app -e dulvex.from -e dulvex.type -e dulvex.flags -e dulvex.seq -e dulvex.len \
    -e dulvex.cmd -e dulvex.status -e dulvex.data -e _ws.expert.message \
    >"$E2E_WORK/decoded.log" 2>"$E2E_WORK/tshark.log"
[ $? -eq 0 ] && pass "tshark decodes the capture" || fail "tshark failed"
expect_line() {  # exact decoded line, description
    if grep -qxF -- "$1" "$E2E_WORK/decoded.log"; then pass "$2"; else fail "$2 (no line '$1')"; fi
}
for app in Master MBCA Maint Fleet Petro; do
    expect_line "$app|service|data|0x08|0|3|0x0000||00|" "$app: the service's start-up echo, frame 0"
    expect_line "$app|terminal|ACK|0x04|0|||||" "$app: the terminal acknowledges frame 0"
    expect_line "$app|service|data|0x08|1|4|0x0123||00ff|" "$app: the sample's packet, frame 1"
    expect_line "$app|terminal|ACK|0x04|1|||||" "$app: the terminal acknowledges frame 1"
    reply=$(grep -F "$app|terminal|data|0x00|" "$E2E_WORK/decoded.log" | grep -F "|6|0x8123|0x0000|00ff|")
    seq=$(printf '%s\n' "$reply" | cut -d'|' -f5 | head -1)
    [ -n "$seq" ] && pass "$app: the terminal's answer, frame $seq" || fail "$app: no answer 0x8123 in the capture"
    [ -n "$seq" ] && expect_line "$app|service|ACK|0x0c|$seq|||||" "$app: the service acknowledges the answer"
done
if grep -qv '|$' "$E2E_WORK/decoded.log"; then
    fail "expert findings in a clean run: $(grep -v '|$' "$E2E_WORK/decoded.log" | head -3)"
else
    pass "no expert findings in a clean run ($(wc -l <"$E2E_WORK/decoded.log") frames)"
fi
[ "$FAILURES" -ne 0 ] && cp "$E2E_WORK/decoded.log" "$E2E_WORK/decoded.out"
echo "$FAILURES failures, ${SECONDS}s with the namespace held"
exit $((FAILURES != 0))
