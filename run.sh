#!/usr/bin/env bash
# Builds and starts the agent on a Debian 12 machine: installs what it needs at run time,
# builds the Release binary, makes sure the PC/SC service answers (pcscd through systemd where it
# manages pcscd, else started by hand), and starts the agent in the foreground with
# the arguments given (for example: ./run.sh --origin https://rdp.example.com). With
# --diagnostics it serves the diagnostics page on 127.0.0.1:8096 and starts the agent trusting it.
set -euo pipefail
cd "$(dirname "$0")"

source tools/setup.sh
packages=(cmake g++ make pkg-config libssl-dev libpcsclite-dev pcscd)
[ "${1:-}" = "--diagnostics" ] && packages+=(python3)
install_missing "${packages[@]}"

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DTOLVANE_TESTS=OFF > /dev/null
cmake --build build/release -j"$(nproc)" --target tolvane-agent > /dev/null

if ! pcscd_managed && ! pidof pcscd > /dev/null; then
  # Nothing manages pcscd here: started as a daemon of its own, it keeps serving the machine's
  # other applications too.
  $sudo_cmd pcscd || echo "pcscd could not be started; card calls will answer SCARD_E_NO_SERVICE" >&2
fi

if [ "${1:-}" = "--diagnostics" ]; then
  # The diagnostics page on http://127.0.0.1:8096, with the agent trusting that origin.
  shift
  exec tools/diagnostics.sh build/release/src/tolvane-agent "$@"
fi
exec build/release/src/tolvane-agent "$@"
