#!/bin/bash
# The service under a bad link. First: one application's frames go unanswered while the other
# four keep the loop busy with traffic; its frame must still be retransmitted on time and given
# up after three retries. Then: 20% loss both ways with duplicates and reordering; every
# numbered packet the terminal did not give up reaches the client exactly once.
source "$(dirname "$0")/lib.sh"
e2e_require
e2e_configure 198.18.0.2
# The flood, with no client to take the answers, traces more than the trace file's default cap
# (each held answer and each one dropped): the checks below read one whole file.
wine_quiet reg add 'HKLM\Software\Varnok\PaymentTermService' /v TraceMaxKB /t REG_DWORD /d 1048576 /f

# ---- Busy loop: termsim plays every application but Fleet and floods the service.
e2e_termsim --apps=Master,MBCA,Maint,Petro --reply=none --send=100000 --time=30
e2e_console_start || exit 1
sleep 1
client send --mask 0x08 --cmd 0x0777 --data 01 >/dev/null
for i in $(seq 1 150); do
    [ "$(grep -c "'Fleet': TerminalTime - aborted" "$E2E_WORK/trace.log")" -ge 2 ] && break
    sleep 0.1
done
retries=$(grep -c "'Fleet': RetryData" "$E2E_WORK/trace.log")
aborted=$(grep -c "'Fleet': TerminalTime - aborted" "$E2E_WORK/trace.log")
busy=$(grep -c "Term\[0\]: Got CMD=0200" "$E2E_WORK/trace.log")
echo "Fleet retries: $retries, aborted: $aborted; Master packets meanwhile: $busy"
[ "$busy" -gt 100 ] && pass "the loop was kept busy by Master ($busy packets)" || fail "Master sent only $busy packets"
# The start-up echo and the client's command: three retries each, then given up.
[ "$retries" -ge 6 ] && pass "Fleet's frames were retransmitted while the loop was busy" ||
    fail "Fleet retransmissions while busy: $retries"
[ "$aborted" -ge 2 ] && pass "Fleet's frames were given up, each with its trace" || fail "Fleet aborted: $aborted"
rc=$(e2e_console_stop)
[ "$rc" = "0" ] && pass "clean stop after the flood" || fail "stop after the flood: $rc"
e2e_termsim_stop

# ---- 20% loss, 5% duplicates and reordering in both directions.
mv "$E2E_WORK/trace.log" "$E2E_WORK/trace-busy.log"
mv "$E2E_WORK/termsim.out" "$E2E_WORK/termsim-busy.out"
e2e_console_start || exit 1
client listen --timeout 90000 >"$E2E_WORK/listen.out" &
listener=$!
sleep 1
per_app=60
e2e_termsim --reply=none --send=$per_app --seed=20261208 --idle=5 --time=80 \
    --in-drop=0.2 --out-drop=0.2 --in-dup=0.05 --out-dup=0.05 --in-reorder=0.05 --out-reorder=0.05
wait "$TERMSIM_PID" 2>/dev/null
TERMSIM_PID=
sleep 2
rc=$(e2e_console_stop)
wait "$listener" 2>/dev/null
[ "$rc" = "0" ] && pass "clean stop after the lossy run" || fail "stop after the lossy run: $rc"

# Numbered packets at the client: mask and the 4-byte number starting the data.
grep -E '^mask=0x[0-9a-f]+ cmd=0x0200 ' "$E2E_WORK/listen.out" |
    sed -E 's/^mask=(0x[0-9a-f]+) .* data=(.{8}).*/\1 \2/' >"$E2E_WORK/numbers"
total=$(wc -l <"$E2E_WORK/numbers")
unique=$(sort -u "$E2E_WORK/numbers" | wc -l)
echo "client received $total numbered packets, $unique distinct"
[ "$total" -eq "$unique" ] && pass "no packet delivered twice" || fail "$((total - unique)) duplicate(s) at the client"
declare -A mask_of=([Master]=0x01 [MBCA]=0x02 [Maint]=0x04 [Fleet]=0x08 [Petro]=0x10)
missing=0
for app in Master MBCA Maint Fleet Petro; do
    for ((n = 0; n < per_app; n++)); do
        grep -qE "^abandoned app=$app num=$n\$" "$E2E_WORK/termsim.out" && continue
        grep -qx "${mask_of[$app]} $(printf '%08x' $n)" "$E2E_WORK/numbers" || missing=$((missing + 1))
    done
done
abandoned=$(grep -c '^abandoned ' "$E2E_WORK/termsim.out")
echo "termsim gave up $abandoned; packets neither given up nor received: $missing"
[ "$missing" -eq 0 ] && pass "every packet the terminal did not give up reached the client" ||
    fail "$missing packet(s) lost without being given up"
grep -E '^total|^faults' "$E2E_WORK/termsim.out"
service_aborted=$(grep -c "TerminalTime - aborted" "$E2E_WORK/trace.log")
echo "the service gave up $service_aborted frame(s) (acknowledgements of lost frames are not frames)"

wine_quiet reg delete 'HKLM\Software\Varnok\PaymentTermService' /v TraceMaxKB /f
echo "loss end-to-end: $FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
