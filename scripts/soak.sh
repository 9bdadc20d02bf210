#!/usr/bin/env bash
# The long runs of the soak, crash-restart and model tests:
#   scripts/soak.sh [SECONDS] [KILLS] [RUNS]
# SECONDS (default 300) of 16 client threads and 3 client processes against
# one daemon, then KILLS (default 200) SIGKILLs of the daemon during each of
# set-and-commit and restores (factory edits are cut after every page by a
# unit test instead), then RUNS (default 20) model runs of 1000 random client
# steps each on new seeds. Prints the figures: requests, duration, the
# daemon's memory and descriptors after the warm-up and at the end, what every
# restart found, and the seeds run.
export TARVI_SOAK_SECONDS=${1:-300} TARVI_CRASH_ROUNDS=${2:-200}
export TARVI_MODEL_RUNS=${3:-20} TARVI_MODEL_STEPS=${TARVI_MODEL_STEPS:-1000}
exec "$(dirname "$0")/long-tests.sh" 'Soak.*:CrashRestart.*:Model.*'
