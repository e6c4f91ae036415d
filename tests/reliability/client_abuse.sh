#!/bin/bash
# Clients that misbehave, one after another, against the real service with termsim answering in
# the terminal's namespace: many connect and disconnect cycles, a 601-byte and a zero-byte
# message, a client that never reads, a client that sends to all five applications as fast as
# it can. After each, the service must still run, its links must still work, and the next
# well-behaved client must get its five answers. REL_MODE=long runs 10,000 cycles.
source "$(dirname "$0")/rel_lib.sh"
e2e_configure 198.18.0.2
if [ "$REL_MODE" = long ]; then cycles=10000; flood=20000; else cycles=${REL_CYCLES:-1000}; flood=3000; fi
table=$E2E_WORK/table.txt

e2e_termsim --reply=all
e2e_console_start || exit 1
sleep 1
rel_check "before any abuse"

# Connect and disconnect; every tenth cycle leaves right after writing a command.
out=$(rel_client cycles --count "$cycles" --send-every 10 | tr -d '\r')
echo "$out"
[ "$(kv "$out" connected)" = "$cycles" ] && pass "$cycles connect cycles all connected" \
    || fail "connect cycles: $out"
rel_service_alive && pass "the service survives $cycles cycles" || fail "the service died in the cycles"
sleep 2
rel_check "after $cycles connect cycles"
printf '%-34s %s\n' "connect/disconnect cycles" "$out" >>"$table"

# A message one byte longer than the service reads, then an empty one.
from=$(( $(trace_lines) + 1 ))
out601=$(rel_client raw --size 601 | tr -d '\r')
echo "$out601"
rel_check "after a 601-byte message"
dropped601=$(trace_count_from "$from" "Cmd=0042")
rule "$dropped601 == 0" "the 601-byte message is not forwarded"
printf '%-34s %s\n' "601-byte message" "$out601" >>"$table"
from=$(( $(trace_lines) + 1 ))
out0=$(rel_client raw --size 0 | tr -d '\r')
echo "$out0"
rel_check "after a zero-byte message"
printf '%-34s %s\n' "zero-byte message" "$out0" >>"$table"
echo "$out601" | grep -q "connection=answered" && fail "a 601-byte message was answered"

# A client that sends to all five applications and never reads, and stays connected.
from=$(( $(trace_lines) + 1 ))
out=$(rel_client noread --count 200 --hold 4000 | tr -d '\r')
echo "$out"
writes_failed=$(tail -n +"$from" "$E2E_WORK/trace.log" | grep -c "PipeSrvWrite ([0-9]*) -> -")
printf '%-34s %s pipe_writes_failed=%s\n' "client that never reads" "$out" "$writes_failed" >>"$table"
rel_service_alive && pass "the service survives a client that never reads" || fail "the service died with a client that never reads"
sleep 3
rel_check "after a client that never reads"

# A client that sends as fast as it can.
from=$(( $(trace_lines) + 1 ))
out=$(rel_client flood --count "$flood" | tr -d '\r')
echo "$out"
noslot=$(trace_count_from "$from" "no free slot")
printf '%-34s %s refused_by_full_queue=%s\n' "flooding client (mask 0x1F)" "$out" "$noslot" >>"$table"
rel_service_alive && pass "the service survives a flooding client" || fail "the service died with a flooding client"
# The queued frames drain at the terminal's pace before the next client's command.
sleep 5
rel_check "after a flooding client"

e2e_termsim_stop
# The terminal kept being served: termsim saw no malformed frame and nothing twice.
T=$E2E_WORK/termsim.out
rule "$(value "$T" total malformed) == 0" "termsim saw no malformed frame"
rel_service_stop "client abuse"
echo
echo "Client abuse"
cat "$table"
cp "$table" "${REL_TABLE_DIR:-$E2E_WORK}/client_abuse.txt" 2>/dev/null
echo "client abuse: $FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
