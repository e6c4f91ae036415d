#!/bin/bash
# Stops the wineserver of the given prefix only (never the user's own).
[ -d "$1" ] && WINEPREFIX=$1 wineserver -k >/dev/null 2>&1
exit 0
