#!/bin/bash
# Runs bridge_startup_test ($1) under Wine while holding the lock of the terminal's namespace and
# UDP ports, which the other build trees' tests take as well: the bridge binds those ports on
# every local address.
set -u
exec 8>/run/lock/dulvex-netns-use.lock
flock -w 1800 8 || { echo "the terminal's ports stayed busy"; exit 1; }
$DULVEX_WINE "$1"
