#!/usr/bin/env bash
# Builds the Release agent with its benchmark and runs every measurement, printing the figures:
# each card call made directly, relayed through the agent binary (started by the benchmark on
# 127.0.0.1:8095), bounced off a bare WebSocket echo server, through a bare relay making the same
# PC/SC call, and decoded in-process; calls per second on 1, 4 and 16 connections, over one
# connection with 1, 4 and 16 contexts busy at once, and against the bare relay in windows that
# take turns; the system calls per call (strace); the agent's resident memory idle and with 100
# and 1000 idle connections. Arguments go to the benchmark (for example --quick, --only Status).
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

source tools/setup.sh
install_missing cmake g++ make pkg-config libssl-dev libpcsclite-dev pcscd vsmartcard-vpcd \
  vsmartcard-vpicc python3-pycryptodome libbenchmark-dev strace

echo "== building (Release, with benchmarks)"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BENCH=ON -DTOLVANE_TESTS=OFF > /dev/null
cmake --build build/release -j"$(nproc)" --target tolvane-agent tolvane-bench > /dev/null

start_pcscd_for "$root/build/release/pcscd.log"

echo "== running (takes a few minutes; holds the port 8095 and card locks while it runs)"
mkdir -p "$root/build/release/bench-logs"
build/release/bench/tolvane-bench --agent "$root/build/release/src/tolvane-agent" \
  --logs "$root/build/release/bench-logs" "$@"
