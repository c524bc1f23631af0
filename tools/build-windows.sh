#!/usr/bin/env bash
# Cross-builds the Windows programs on Debian 12 with mingw-w64 (installed when missing):
# 64-bit, Release, statically linked, into build/windows (or $WINDOWS_BUILD): the agent is
# build/windows/tolvane-agent.exe. With --tests, the unit and server library tests as well. Checks that every .exe needs no DLL but Windows' own.
set -euo pipefail
cd "$(dirname "$0")/.."

tests=OFF
[ "${1:-}" = "--tests" ] && tests=ON
build=${WINDOWS_BUILD:-build/windows}

source tools/setup.sh
install_missing cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
[ "$tests" = OFF ] || install_missing googletest

echo "== building for Windows (mingw-w64, Release, static) in $build"
mkdir -p "$(dirname "$build")"  # the configure log goes beside the build folder, also in a fresh clone
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DTOLVANE_TESTS="$tests" > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
rm -f "$build.configure.log"
cmake --build "$build" -j"$(nproc)"

# Windows' own libraries; anything else (libstdc++-6.dll, libwinpthread-1.dll, ...) would have
# to be shipped beside the program.
system_dlls='^(kernel32|msvcrt|ws2_32|bcrypt|crypt32|advapi32|user32|winscard|ntdll|shell32|ole32)\.dll$'
status=0
while IFS= read -r exe; do
  while IFS= read -r dll; do
    if ! grep -qiE "$system_dlls" <<< "$dll"; then
      echo "$exe needs $dll, which Windows does not have" >&2
      status=1
    fi
  done < <(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
done < <(find "$build" -maxdepth 3 -name '*.exe' -not -path '*/CMakeFiles/*')
[ "$status" -eq 0 ] && echo "== the programs need no DLL but Windows' own; the agent: $build/tolvane-agent.exe"
exit "$status"
