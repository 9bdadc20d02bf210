#!/usr/bin/env bash
# The long runs of the soak, crash-restart, wedge and model tests:
#   scripts/soak.sh [SECONDS] [KILLS] [WEDGE-SECONDS] [RUNS]
# SECONDS (default 300) of 16 client threads and 3 client processes against
# one daemon; KILLS (default 200) SIGKILLs of the daemon during each of
# set-and-commit and restores (factory edits are cut after every page by a
# unit test instead); then every kind of misbehaving peer for WEDGE-SECONDS
# each (default 30), and all of them at once, while a well-behaved client is
# timed; then RUNS (default 20) model runs of 1000 random client steps each
# on new seeds. Prints the figures: requests, duration, the daemon's memory
# and descriptors after the warm-up and at the end, what every restart found,
# the wedge test's worst latencies and counts, and the seeds run.
export TARVI_SOAK_SECONDS=${1:-300} TARVI_CRASH_ROUNDS=${2:-200} TARVI_HOSTILE_SECONDS=${3:-30}
export TARVI_MODEL_RUNS=${4:-20} TARVI_MODEL_STEPS=${TARVI_MODEL_STEPS:-1000}
exec "$(dirname "$0")/long-tests.sh" 'Soak.*:CrashRestart.*:Hostile.*:Model.*'
