#!/bin/bash
# The capture log's folder check under Wine: a Unix symbolic link to a folder shows as a reparse
# point there, the one kind of redirected folder a test can make (Wine makes no junctions).
# Usage: linked_folder.sh CAPTURE_TEST.exe   (DULVEX_BUILD and DULVEX_WINE from CTest)
set -u
dir=$DULVEX_BUILD/capture-folder
rm -rf "$dir"
mkdir -p "$dir/target"
ln -s "$dir/target" "$dir/link"
DULVEX_CAPTURE_LINK="Z:${dir//\//\\}\\link" $DULVEX_WINE "$1" --gtest_filter='CaptureFileTest.LinkedFolderIsRefused' \
    </dev/null 2>&1 | tr -d '\r' | tee "$dir.out"
rc=${PIPESTATUS[0]}
grep -q '\[  SKIPPED \]' "$dir.out" && { echo "FAIL: the test was skipped"; exit 1; }
rm -rf "$dir" "$dir.out"
exit "$rc"
