#!/usr/bin/env bash
# Worst extra latency of a well-behaved client while others misbehave: random
# bytes, half records, records claiming huge lengths, hundreds of idle
# connections (with the daemon held to 200 descriptors), replies never read,
# and callbacks that crash or hang. Each kind runs for SECONDS (default 20);
# prints the probe's worst latency per kind and when all is quiet.
#   bench/hostile.sh [SECONDS]
export TARVI_HOSTILE_SECONDS=${1:-20}
exec "$(dirname "$0")/../scripts/long-tests.sh" 'Hostile.*'
