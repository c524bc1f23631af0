#!/usr/bin/env bash
# Builds the Release agent with its benchmark and runs every measurement, printing the figures:
# each card call made directly, relayed through the agent binary (started by the benchmark on
# 127.0.0.1:8095), bounced off a bare WebSocket echo server and decoded in-process; calls per
# second on 1, 4 and 16 connections; the agent's resident memory idle and with 100 and 1000
# idle connections. Arguments go to the benchmark (for example --quick, --only Status).
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

packages=(cmake g++ make pkg-config libssl-dev libpcsclite-dev pcscd vsmartcard-vpcd
          vsmartcard-vpicc python3-pycryptodome libbenchmark-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  sudo_cmd=""; [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

echo "== building (Release, with benchmarks)"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BENCH=ON -DTOLVANE_TESTS=OFF > /dev/null
cmake --build build/release -j"$(nproc)" --target tolvane-agent tolvane-bench > /dev/null

started_pcscd=""
cleanup() {
  if [ -n "$started_pcscd" ]; then
    kill "$started_pcscd" 2>/dev/null || true
    wait "$started_pcscd" 2>/dev/null || true
  fi
}
trap cleanup EXIT

if ! pidof pcscd > /dev/null; then
  echo "== starting pcscd (foreground, stopped when the benchmark ends)"
  pcscd -f > "$root/build/release/pcscd.log" 2>&1 &
  started_pcscd=$!
  for _ in $(seq 50); do
    [ -S /run/pcscd/pcscd.comm ] && break
    sleep 0.1
  done
fi

echo "== running (takes a few minutes; holds the port 8095 and card locks while it runs)"
mkdir -p "$root/build/release/bench-logs"
build/release/bench/tolvane-bench --agent "$root/build/release/src/tolvane-agent" \
  --logs "$root/build/release/bench-logs" "$@"
