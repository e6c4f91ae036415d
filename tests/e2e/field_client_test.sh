#!/bin/bash
# dulvex-client's field commands against DulvexSrv.exe -debug with termsim in the terminal's
# namespace: monitor with local time and names, ping's round trips, status and every JSON kind.
# Master, MBCA, Maint and Fleet answer from the start; Petro comes late and sends echoes.
source "$(dirname "$0")/lib.sh"
e2e_require
e2e_configure 198.18.0.2
wine_quiet reg add 'HKLM\Software\Varnok\PaymentTermService' /v HeldMax /t REG_DWORD /d 2 /f
trap 'kill $petro 2>/dev/null; wine_quiet reg delete "HKLM\Software\Varnok\PaymentTermService" /v HeldMax /f; e2e_cleanup' EXIT
JSON_LINES="python3 $DULVEX_SOURCE/tests/client/json_lines.py"
IST='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \+05:30'
MESSAGE=message=time,mask,apps,cmd,status,len,data

e2e_termsim --apps=Master,MBCA,Maint,Fleet --reply=all
e2e_console_start || exit 1
# Four answers to the start-up echo, two of them dropped (HeldMax 2); Petro's echo given up.
e2e_wait_trace "dropped (count), 2 dropped so" 10 && e2e_wait_trace "'Petro': TerminalTime - aborted" 10 ||
    fail "the start-up answers were not held and dropped, or Petro's echo not given up"

# ---- The first announced client: the welcome, the notice of the drop, the two held answers.
client --json --announce monitor --timeout 1500 >"$E2E_WORK/monitor.json"
check_eq "monitor in JSON: welcome, notice, the held answers" "welcome
notice
message
message" "$($JSON_LINES "$E2E_WORK/monitor.json" welcome=time,held notice=time,mask,apps,cmd,reason,reason_text,count $MESSAGE)"

# ---- Petro's echoes, with local time and name; the service answers each and passes it on as
# an ECHO_RESP.
# Wine takes the zone from TZ: one half an hour off the hour shows the offset's sign and minutes.
TZ=Asia/Kolkata client --announce monitor --count 2 --timeout 20000 >"$E2E_WORK/monitor.out" &
monitor=$!
bash "$NETNS" exec "$TERMSIM" --log="$E2E_WORK/petro.log" --apps=Petro --echo=Petro,2 >"$E2E_WORK/petro.out" 2>&1 &
petro=$!
wait $monitor
check_eq "monitor: exit 0" 0 $?
out=$(tr -d '\r' <"$E2E_WORK/monitor.out")
echo "$out"
check_match "monitor: the welcome, then Petro's echoes with the time and its offset" \
"^$IST control welcome held=[0-9]+
$IST Petro mask=0x10 cmd=0x8000 status=0x[0-9a-f]{4} len=1 data=00
$IST Petro mask=0x10 cmd=0x8000 status=0x[0-9a-f]{4} len=1 data=00$" "$out"

# ---- Round trips to all five applications.
client ping --count 5 >"$E2E_WORK/ping.out"; rc=$?
out=$(tr -d '\r' <"$E2E_WORK/ping.out")
echo "$out"
check_eq "ping: exit 0" 0 "$rc"
check_eq "ping: every round answered, min <= mean <= max" "Master MBCA Maint Fleet Petro" "$(echo "$out" |
    awk '{ for (i = 1; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
           if (v["sent"] == 5 && v["answered"] == 5 && v["lost"] == 0 && v["min-ms"] + 0 <= v["mean-ms"] + 0 &&
               v["mean-ms"] + 0 <= v["max-ms"] + 0) printf "%s%s", (NR > 1 ? " " : ""), v["name"] }')"

client --json ping --mask 0x05 --count 2 >"$E2E_WORK/ping.json"
check_eq "ping in JSON" "ping
ping" "$($JSON_LINES "$E2E_WORK/ping.json" ping=mask,app,cmd,sent,answered,lost,late,min_ms,mean_ms,max_ms)"
client --json status >"$E2E_WORK/status.json"
check_eq "status in JSON: one object per application" "status status status status status" "$($JSON_LINES \
    "$E2E_WORK/status.json" status=mask,app,state,since_ms,sent,received,retransmitted,given_up,queue,last_heard_ms |
    tr '\n' ' ' | sed 's/ $//')"

# ---- An application that stops answering: its rounds are lost, and nothing is timed.
kill $petro; wait $petro 2>/dev/null; petro=
client ping --mask 0x10 --count 2 --timeout 800 >"$E2E_WORK/ping.out"; rc=$?
out=$(tr -d '\r' <"$E2E_WORK/ping.out")
check_eq "ping to a silent application: exit 3" 3 "$rc"
check_eq "ping to a silent application: line" \
    "app=0x10 name=Petro cmd=0x0000 sent=2 answered=0 lost=2 late=0 min-ms=- mean-ms=- max-ms=-" "$out"

rc=$(e2e_console_stop)
[ "$rc" = "0" ] && pass "orderly end" || fail "exit code: $rc"
e2e_termsim_stop
echo "field client end-to-end: $FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
