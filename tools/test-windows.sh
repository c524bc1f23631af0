#!/usr/bin/env bash
# Builds the Windows programs and their tests (tools/build-windows.sh --tests) and an installer
# that trusts https://rdp.example.com (tools/build-installer.sh, into build/windows-installer),
# and runs the tests under Wine, on a Wine prefix of its own inside the build folder. No display
# is needed: Wine runs console programs headless, and nothing here opens a window (the installer
# runs silently). The library and unit tests use loopback sockets on ephemeral ports; the
# agent's own test and the installer's take port 8095 under the same lock file as the Linux
# agent tests (tests/windows/CMakeLists.txt).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${WINDOWS_BUILD:-build/windows}

source tools/setup.sh
install_missing wine wine64 nsis python3-websockets
tools/build-installer.sh --tests https://rdp.example.com "$build-installer/tolvane-agent-setup.exe"

export WINEPREFIX="$root/$build/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko: the prefix is made without asking to install them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine=$(command -v /usr/lib/wine/wine64 || command -v wine64 || command -v wine)
wineserver=$(command -v /usr/lib/wine/wineserver64 || command -v wineserver)

# One wineserver for the whole run, so that each test does not start its own; stopped at the end.
# Wine's own background processes (services.exe and the devices it starts) come up with the first
# program and would keep that program's output pipes open: start them here, with their output in
# a log, so that CTest sees each test program's output end when the program ends.
# (A wineserver of this prefix that is still running, from a run just ended, is used instead.)
mkdir -p "$WINEPREFIX"
"$wineserver" -p 2> /dev/null || true
trap '"$wineserver" -k 2> /dev/null || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== making the Wine prefix $WINEPREFIX"
  "$wine" wineboot --init > "$root/$build/wineboot.log" 2>&1 < /dev/null
fi
"$wine" cmd.exe /c exit >> "$root/$build/wineboot.log" 2>&1 < /dev/null

echo "== running the Windows tests under Wine"
ctest --test-dir "$build" -L windows --output-on-failure -j"$(nproc)" --timeout 300
