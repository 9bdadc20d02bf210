#!/usr/bin/env bash
# The long runs of the soak, crash-restart and wedge tests:
#   scripts/soak.sh [SECONDS] [KILLS] [WEDGE-SECONDS]
# SECONDS (default 300) of 16 client threads and 3 client processes against
# one daemon; KILLS (default 200) SIGKILLs of the daemon during each of
# set-and-commit, factory edits and restores; then every kind of misbehaving
# peer for WEDGE-SECONDS each (default 30), and all of them at once, while a
# well-behaved client is timed. Prints the figures: requests, duration, the
# daemon's memory and descriptors after the warm-up and at the end, what
# every restart found, and the wedge test's worst latencies and counts.
export TARVI_SOAK_SECONDS=${1:-300} TARVI_CRASH_ROUNDS=${2:-200} TARVI_HOSTILE_SECONDS=${3:-30}
exec "$(dirname "$0")/long-tests.sh" 'Soak.*:CrashRestart.*:Hostile.*'
