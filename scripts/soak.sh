#!/usr/bin/env bash
# The long runs of the soak and crash-restart tests:
#   scripts/soak.sh [SECONDS] [KILLS]
# SECONDS (default 300) of 16 client threads and 3 client processes against
# one daemon, then KILLS (default 200) SIGKILLs of the daemon during each of
# set-and-commit and restores (factory edits are cut after every page by a
# unit test instead). Prints the figures: requests,
# duration, the daemon's memory and descriptors after the warm-up and at the
# end, and what every restart found.
export TARVI_SOAK_SECONDS=${1:-300} TARVI_CRASH_ROUNDS=${2:-200}
exec "$(dirname "$0")/long-tests.sh" 'Soak.*:CrashRestart.*'
