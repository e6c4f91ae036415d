#!/bin/bash
# The metrics file as a fleet's monitoring reads it: the service, run against termsim with Fleet
# silent, writes MetricsFile; promtool accepts the file, and Prometheus' node exporter, whose
# textfile collector reads the format windows_exporter's does, serves it with Fleet not
# answering and its frame given up. The stopped service leaves no file behind, and a folder
# that others may write to is refused.
source "$(dirname "$0")/lib.sh"
e2e_require
command -v promtool >/dev/null || { echo "promtool is missing (Debian package prometheus)"; exit 1; }
EXPORTER=$(command -v prometheus-node-exporter) || { echo "prometheus-node-exporter is missing"; exit 1; }
e2e_configure 198.18.0.2
mkdir -p "$E2E_WORK/metrics"
prom=$E2E_WORK/metrics/dulvex.prom
wine_quiet reg add 'HKLM\Software\Varnok\PaymentTermService' /v MetricsFile /t REG_SZ /d "$(winpath "$prom")" /f
EXPORTER_PID=
metrics_cleanup() {
    [ -n "$EXPORTER_PID" ] && kill "$EXPORTER_PID" 2>/dev/null && wait "$EXPORTER_PID" 2>/dev/null
    wine_quiet reg delete 'HKLM\Software\Varnok\PaymentTermService' /v MetricsFile /f
    e2e_cleanup
}
trap metrics_cleanup EXIT

# Every application but Fleet: the start-up echo to Fleet is given up after its retransmissions.
e2e_termsim --apps=Master,MBCA,Maint,Petro --time=60
e2e_console_start || exit 1
[ -f "$prom" ] && pass "the file is written at the start" || fail "no metrics file at the start"
# The file is rewritten every 10 s: the one after the give-up shows it. Each rewrite is a rename,
# so a new inode: counting them while waiting shows the idle cost, one write per 10 s.
started=$(date +%s.%N)
: >"$E2E_WORK/inodes"
for i in $(seq 1 250); do
    stat -c %i "$prom" >>"$E2E_WORK/inodes" 2>/dev/null
    grep -q '^dulvex_link_state{app="Fleet"} 3$' "$prom" 2>/dev/null && break
    sleep 0.1
done
writes=$(uniq "$E2E_WORK/inodes" | wc -l)
waited=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
allowed=$(awk -v w="$waited" 'BEGIN { print int(w / 10) + 2 }')
echo "files seen in ${waited} s: $writes (the first one included)"
[ "$writes" -le "$allowed" ] && pass "at most one write per 10 s ($writes files in ${waited} s)" ||
    fail "$writes files in ${waited} s"
cp "$prom" "$E2E_WORK/scrape.prom" 2>/dev/null
expect_grep "$E2E_WORK/scrape.prom" 'dulvex_link_state{app="Fleet"} 3' "Fleet reads as not answering"
expect_grep "$E2E_WORK/scrape.prom" 'dulvex_link_state{app="Master"} 1' "Master reads as answering"
given_up=$(sed -n 's/^dulvex_link_frames_given_up_total{app="Fleet"} //p' "$E2E_WORK/scrape.prom")
[ "${given_up:-0}" -ge 1 ] && pass "Fleet's given-up counter: $given_up" || fail "Fleet given up: '${given_up}'"
expect_grep "$E2E_WORK/trace.log" "Term[3] 'Fleet': not answering: a frame was given up" \
    "the event for Fleet's silence is traced"
ls "$E2E_WORK/metrics" | grep -v '^dulvex\.prom$' >"$E2E_WORK/stray.out"
[ -s "$E2E_WORK/stray.out" ] && fail "other files beside the metrics file: $(cat "$E2E_WORK/stray.out")" ||
    pass "no temporary file left beside it"

promtool check metrics <"$E2E_WORK/scrape.prom" >"$E2E_WORK/promtool.out" 2>&1
rc=$?
[ $rc -eq 0 ] && pass "promtool check metrics accepts the file" || fail "promtool check metrics: rc $rc"

# The exporter on a free loopback port, reading the service's folder.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$EXPORTER" --web.listen-address=127.0.0.1:$port --collector.disable-defaults --collector.textfile \
    --collector.textfile.directory="$E2E_WORK/metrics" >"$E2E_WORK/exporter.log" 2>&1 &
EXPORTER_PID=$!
for i in $(seq 1 50); do
    curl -sf -m 2 "http://127.0.0.1:$port/metrics" >"$E2E_WORK/served.out" 2>/dev/null && break
    sleep 0.1
done
expect_grep "$E2E_WORK/served.out" 'node_textfile_scrape_error 0' "the exporter reads the file without error"
expect_grep "$E2E_WORK/served.out" 'dulvex_link_state{app="Fleet"} 3' "the exporter serves Fleet's state"
expect_grep "$E2E_WORK/served.out" 'dulvex_link_frames_given_up_total{app="Fleet"}' "the exporter serves Fleet's given-up counter"
expect_grep "$E2E_WORK/served.out" 'dulvex_service_info{start_time="' "the exporter serves the info metric"
kill "$EXPORTER_PID" 2>/dev/null
wait "$EXPORTER_PID" 2>/dev/null
EXPORTER_PID=

rc=$(e2e_console_stop)
[ "$rc" = "0" ] && pass "clean stop" || fail "stop: $rc"
[ ! -e "$prom" ] && pass "the stopped service leaves no metrics file" || fail "the metrics file outlived the service"
# A folder that others may write to (mode 0777 reads back as an Everyone ACE that may write)
# is refused as a log folder is: no file, and the trace says why.
mv "$E2E_WORK/trace.log" "$E2E_WORK/trace-served.log"
chmod 0777 "$E2E_WORK/metrics"
e2e_console_start || exit 1
expect_grep "$E2E_WORK/trace.log" "Metrics: $(winpath "$prom") refused: folder" "an open folder is refused"
sleep 1
[ ! -e "$prom" ] && pass "nothing is written into the open folder" || fail "a metrics file in the open folder"
rc=$(e2e_console_stop)
[ "$rc" = "0" ] && pass "clean stop after the refusal" || fail "stop after the refusal: $rc"

echo "----- the service's metrics as the exporter served them"
grep -E '^(# (HELP|TYPE) )?(dulvex_|node_textfile_)' "$E2E_WORK/served.out"
echo "metrics end-to-end: $FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
