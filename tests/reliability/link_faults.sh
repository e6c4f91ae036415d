#!/bin/bash
# Link faults through the real service and the real pipe client: termsim in the terminal's
# namespace drops, duplicates and reorders datagrams in both directions at 0, 5, 20 and 40%
# loss. Numbered packets go each way: our client sends them to all five applications (termsim
# counts what arrives), termsim sends them towards the service (our client counts them).
# Rules per direction: nothing delivered twice or damaged; every packet accounted for; every
# packet that did not arrive was given up by its sender with an "aborted" trace; the number given
# up stays within what the fault model allows for the packets sent (fault_limit: more only by a
# chance below one in a million; none at 0% loss). REL_MODE=long sends five times as many.
source "$(dirname "$0")/rel_lib.sh"
e2e_configure 198.18.0.2
apps="Master MBCA Maint Fleet Petro"

if [ -n "${REL_SIZES:-}" ]; then sizes=$REL_SIZES
elif [ "$REL_MODE" = long ]; then sizes="0:500 5:500 20:200 40:80"; else sizes="0:40 5:50 20:20 40:8"; fi
seed=${REL_SEED:-20261208}
table=$E2E_WORK/table.txt
printf '%-5s %-6s %-18s %5s %9s %7s %9s %7s %10s\n' loss app direction sent delivered missing abandoned aborted duplicated >"$table"

for level in $sizes; do
    loss=${level%%:*}
    n=${level##*:}
    p=$(printf '0.%02d' "$loss")
    tag="loss $loss%"
    e2e_console_start || exit 1
    # The start-up echo meets no terminal yet and is given up by all five links: count only what
    # follows those give-ups.
    for _ in $(seq 1 100); do
        [ "$(trace_count_from 1 "TerminalTime - aborted")" -ge 5 ] && break
        sleep 0.1
    done
    from=$(( $(trace_lines) + 1 ))
    # The client connects first, so that none of termsim's packets finds the pipe without a
    # client; it starts sending once termsim is up.
    rel_client soak --count "$n" --mask 0x1F --window 3 --size 40 --expect-in "$n" --idle 10000 \
        --delay 2500 >"$E2E_WORK/client-$loss.out" &
    client_pid=$!
    sleep 1
    faults="--in-drop=$p --out-drop=$p --in-dup=0.05 --out-dup=0.05 --in-reorder=0.05 --out-reorder=0.05"
    [ "$loss" = 0 ] && faults="--in-dup=0.05 --out-dup=0.05 --in-reorder=0.05 --out-reorder=0.05"
    # termsim must outwait the client's longest pause: a client whose window holds only
    # unanswered commands waits 15 s before it sends the next one. termsim leaving in such a
    # pause (at 40% loss, once the other applications are done) would leave every later command
    # of the run unanswered and given up.
    e2e_termsim --reply=all --send="$n" --send-size=40 --seed="$seed" $faults --idle=16 --time=900
    wait "$client_pid"
    crc=$?
    # termsim ends by itself once everything is acknowledged or given up and it has been idle.
    for _ in $(seq 1 300); do kill -0 "$TERMSIM_PID" 2>/dev/null || break; sleep 0.1; done
    e2e_termsim_stop
    cp "$E2E_WORK/termsim.out" "$E2E_WORK/termsim-$loss.out"
    cp "$E2E_WORK/termsim.log" "$E2E_WORK/termsim-$loss.log"
    rel_service_stop "$tag"
    mv "$E2E_WORK/trace.log" "$E2E_WORK/trace-$loss.log"
    T=$E2E_WORK/termsim-$loss.out
    C=$E2E_WORK/client-$loss.out
    given_to_terminal=0
    given_to_client=0
    [ "$crc" = 0 ] && pass "$tag: client ran to its end" || fail "$tag: client exit code $crc: $(tail -3 "$C")"
    for app in $apps; do
        # client -> terminal
        t_ok=$(value "$T" "app=$app" soak_in_ok)
        t_missing=$(value "$T" "app=$app" soak_in_missing)
        t_rep=$(value "$T" "app=$app" soak_in_repeats)
        t_dmg=$(value "$T" "app=$app" soak_in_damaged)
        s_aborted=$(tail -n +"$from" "$E2E_WORK/trace-$loss.log" | grep -cF "'$app': TerminalTime - aborted")
        s_noslot=$(tail -n +"$from" "$E2E_WORK/trace-$loss.log" | grep -cF "no free slot")
        c_sent=$(value "$C" "app=$app" sent)
        printf '%-5s %-6s %-18s %5s %9s %7s %9s %7s %10s\n' "$loss%" "$app" "client->terminal" "$c_sent" "$t_ok" \
            "$t_missing" "$s_aborted" "$s_aborted" "$t_rep" >>"$table"
        rule "$c_sent == $n" "$tag $app: client sent all $n"
        # termsim learns a stream's length from the packets it gets: when every one was lost (seen
        # at 40% loss) it has nothing to count from, so the sender's count decides what is missing.
        if [ "$t_ok" -gt 0 ] || [ "$t_missing" -gt 0 ]; then
            rule "$t_ok + $t_missing == $n" "$tag $app: termsim accounted for every packet"
        fi
        rule "$t_rep == 0 && $t_dmg == 0" "$tag $app: nothing delivered twice or damaged towards the terminal"
        # A packet refused by a full queue is traced too, though without the application's name.
        rule "$n - $t_ok <= $s_aborted + $s_noslot" "$tag $app: every packet lost towards the terminal was given up with a trace"
        # terminal -> client
        o_sent=$(value "$T" "app=$app" soak_out_sent)
        c_ok=$(value "$C" "app=$app" in_ok)
        c_missing=$(value "$C" "app=$app" in_missing)
        c_rep=$(value "$C" "app=$app" in_repeats)
        c_dmg=$(value "$C" "app=$app" in_damaged)
        t_abandoned=$(grep -c "^abandoned app=$app " "$T")
        t_aborted=$(grep -E "^ *[0-9.]+ +aborted +$app " "$E2E_WORK/termsim-$loss.log" | grep -c "num=")
        printf '%-5s %-6s %-18s %5s %9s %7s %9s %7s %10s\n' "$loss%" "$app" "terminal->client" "$o_sent" "$c_ok" \
            "$c_missing" "$t_abandoned" "$t_aborted" "$c_rep" >>"$table"
        rule "$o_sent == $n" "$tag $app: termsim sent all $n"
        rule "$c_ok + $c_missing == $n" "$tag $app: the client accounted for every packet"
        rule "$c_rep == 0 && $c_dmg == 0" "$tag $app: nothing delivered twice or damaged towards the client"
        rule "$t_abandoned == $t_aborted" "$tag $app: termsim logged each packet it gave up"
        lost=$(comm -23 <(tr -d "\r" <"$C" | sed -n "s/^missing app=$app num=//p" | LC_ALL=C sort) \
                        <(sed -n "s/^abandoned app=$app num=//p" "$T" | LC_ALL=C sort) | tr '\n' ' ')
        [ -z "$lost" ] && pass "$tag $app: every packet lost towards the client was given up by termsim" \
                       || fail "$tag $app: lost towards the client without being given up: $lost"
        given_to_terminal=$((given_to_terminal + s_aborted))
        given_to_client=$((given_to_client + t_abandoned))
        if [ "$loss" = 0 ]; then
            rule "$(value "$C" "app=$app" answered) == $n" "$tag $app: every command answered"
        fi
    done
    # Each direction carries n numbered packets per application, each given up only when all its
    # transmissions failed: the count must stay within the fault model's bound.
    model=$("$FAULT_LIMIT" --loss="$p" --dup=0.05 --reorder=0.05 --frames=$((5 * n)))
    limit=$(kv "$model" limit)
    for d in terminal client; do
        [ "$d" = terminal ] && given=$given_to_terminal || given=$given_to_client
        what="$given of $((5 * n)) packets towards the $d given up; the model expects $(kv "$model" expected)"
        rule "$given <= $limit" "$tag: $what and allows $limit"
    done
    rule "$s_noslot == 0" "$tag: the service's queues never overflowed (paced client)"
    echo "--- $tag: $(grep '^faults' "$T" | tr '\n' ' ')"
    echo "--- $tag: $(grep '^total messages' "$C")"
done
echo
echo "Link faults (delivered = arrived once; abandoned = given up by the sending link; aborted = its traces)"
cat "$table"
cp "$table" "${REL_TABLE_DIR:-$E2E_WORK}/link_faults.txt" 2>/dev/null
echo "link faults: $FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
