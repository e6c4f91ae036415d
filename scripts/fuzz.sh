#!/bin/bash
# Runs every fuzzer of the fuzz build for the given number of seconds each, starting from the
# seeds kept in fuzz/corpus/<name>/ (copied, so the repository is not touched). Fails on any
# finding.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
found=0
status=0
for fuzzer in build/fuzz/fuzz/*_fuzz; do
    [ -x "$fuzzer" ] || continue
    found=1
    name=$(basename "$fuzzer")
    work=$(mktemp -d)
    [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/"
    echo "fuzz: $name for ${seconds}s"
    if ! "$fuzzer" -max_total_time="$seconds" -print_final_stats=0 -artifact_prefix="$work/" "$work" \
            >"$work.log" 2>&1; then
        echo "fuzz: $name FAILED"; tail -40 "$work.log"; status=1
        mkdir -p build/fuzz-findings && cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* build/fuzz-findings/ 2>/dev/null
    else
        grep -E '^#[0-9]+.*DONE' "$work.log" | tail -1
    fi
    rm -rf "$work" "$work.log"
done
[ $found -eq 1 ] || echo "fuzz: no fuzzers built"
exit $status
