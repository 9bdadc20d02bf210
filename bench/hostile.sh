#!/usr/bin/env bash
# The wedge test as a benchmark: the worst latency of a well-behaved client's
# flat, tree and property requests while others misbehave -- random bytes,
# half-sent records, records claiming huge lengths, hundreds of silent
# connections (with the daemon held to 200 descriptors), replies never read,
# callbacks that hang, crash or answer late, trigger commands that call back
# into the daemon or hang, bursts of SIGUSR1 and SIGUSR2 -- each kind for
# SECONDS (default 20), then all at once; and the daemon's descriptors,
# threads, children, memory and callback keys before and after.
#   bench/hostile.sh [SECONDS]
export TARVI_HOSTILE_SECONDS=${1:-20}
exec "$(dirname "$0")/../scripts/long-tests.sh" 'Hostile.*'
