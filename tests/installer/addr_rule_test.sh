#!/bin/bash
# The installer's address rule against the table of addresses that every checker of the address
# is tested against: the same verdict for each case, in the service's own words.
# Usage: addr_rule_test.sh CHECK.exe   (DULVEX_SOURCE, DULVEX_BUILD and DULVEX_WINE from CTest)
set -u
check=$1
table=$DULVEX_SOURCE/tests/data/addresses.tsv
out=$DULVEX_BUILD/addr_rule_check.out
rm -f "$out"
$DULVEX_WINE "$check" "/TABLE=Z:${table//\//\\}" "/OUT=Z:${out//\//\\}" </dev/null >/dev/null 2>&1
rc=$?
if [ "$rc" -ne 0 ] || [ ! -s "$out" ]; then
    echo "FAIL: the check program ended with $rc and wrote no verdicts"
    exit 1
fi

# The words of each rule as the service's code has them.
declare -A words
while IFS=$'\t' read -r name text; do
    words[$name]=$text
done < <(sed -n 's/^    {"\([a-z0-9-]*\)", "\(.*\)"},$/\1\t\2/p' "$DULVEX_SOURCE/common/addr_rule.cpp")
if [ "${#words[@]}" -lt 9 ]; then
    echo "FAIL: the rules' words were not found in common/addr_rule.cpp"
    exit 1
fi

expected=$(grep -v '^#' "$table" | grep -v '^$' | while IFS= read -r line; do
    addr=${line%$'\t'*}
    verdict=${line##*$'\t'}
    printf '%s\t%s\t%s\n' "$addr" "$verdict" "${words[$verdict]}"
done)
actual=$(cat "$out")
cases=$(printf '%s\n' "$expected" | wc -l)
if [ "$expected" != "$actual" ]; then
    echo "FAIL: the installer judges differently (< table, > installer):"
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual")
    exit 1
fi
echo "$cases cases, the same verdicts and words"
