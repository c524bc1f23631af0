#!/usr/bin/env bash
# Runs every test of the agent on a Debian 12 machine, from a fresh clone: installs what is
# missing, builds the Debug build (AddressSanitizer and UBSan), starts pcscd when it is not
# running (the tests start and stop the virtual card themselves), runs CTest, runs the server
# and relay tests once more under ThreadSanitizer, fuzzes each parser for a short while
# (FUZZ_SECONDS, 30 by default), cross-builds the Windows programs and runs their tests under
# Wine (tools/test-windows.sh; TOLVANE_WINDOWS=0 leaves that out), and stops what it started.
# A C++ file out of the format of .clang-format fails the run too.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

source tools/setup.sh
packages=(cmake g++ make pkg-config libssl-dev libpcsclite-dev pcscd vsmartcard-vpcd
          vsmartcard-vpicc python3-pycryptodome python3-websockets googletest libgmock-dev
          util-linux chromium libnss3-tools openssl clang-format)
command -v node > /dev/null || packages+=(nodejs npm)
install_missing "${packages[@]}"

echo "== installing the browser tests' npm packages (npm ci)"
npm ci --no-audit --no-fund --loglevel=error

status=0
# The C++ format (.clang-format): a file out of format fails the run, after the tests have run.
tools/check-format.sh || status=1

jobs=$(nproc)
echo "== building (Debug, AddressSanitizer + UBSan)"
cmake -S . -B build/debug -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_SANITIZE=ON > build-debug-configure.log
rm -f build-debug-configure.log
# A compiler warning in what this build compiles fails the run too, after the tests have run
# (the optimiser's warnings show only in a Release build: docs/contributing.md).
cmake --build build/debug -j"$jobs" 2>&1 | tee build/debug/build.log
if grep -q "warning:" build/debug/build.log; then
  echo "== compiler warnings in the Debug build (build/debug/build.log)"
  status=1
fi

start_pcscd_for "$root/build/debug/pcscd.log"

echo "== running the tests"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/debug --output-on-failure -j"$jobs" --timeout 600 2>&1 |
  tee build/debug/ctest.log || status=1

# The server and relay once more under ThreadSanitizer, and a short fuzz run of each parser.
tools/tsan.sh || status=1
fuzz/run.sh "${FUZZ_SECONDS:-30}" || status=1
# The Windows build and its tests under Wine (about 4 minutes here, the first time with installs).
if [ "${TOLVANE_WINDOWS:-1}" != 0 ]; then
  tools/test-windows.sh || status=1
fi

# The Debian package, built and tried in a fresh Debian 12 root (debootstrap; a few minutes).
if [ "${TOLVANE_PACKAGES:-0}" = 1 ]; then
  tools/test-package.sh || status=1
fi

# CTest's count once more as the last line; the exit status also covers ThreadSanitizer, fuzzing
# and the Windows tests.
summary=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" build/debug/ctest.log | tail -1)
total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<< "$summary")
failed=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<< "$summary")
[ -n "$total" ] || { total=0; failed=0; status=1; }
echo "ctest: $((total - failed)) passed, $failed failed"
exit "$status"
