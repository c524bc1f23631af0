#!/usr/bin/env bash
# Builds the Windows installer on Debian 12 with Debian's nsis (installed when missing):
#   tools/build-installer.sh [--tests] ORIGIN [OUTPUT]
# cross-builds the agent and its launcher (tools/build-windows.sh, which --tests is passed to),
# stamps ORIGIN into the agent (tools/stamp-origin) and writes the installer to OUTPUT
# (build/tolvane-agent-setup.exe by default; not inside the Windows build, whose programs
# build-windows.sh checks for DLLs beyond Windows' own). What it installs and how:
# tools/windows-installer.nsi.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage="usage: tools/build-installer.sh [--tests] ORIGIN [OUTPUT]"
build_options=()
[ "${1:-}" = "--tests" ] && { build_options+=(--tests); shift; }
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "$usage" >&2; exit 2; }
origin=$1
build=${WINDOWS_BUILD:-build/windows}
output=${2:-build/tolvane-agent-setup.exe}
# The origin a browser sends: scheme://host[:port], http or https, with an optional path.
if ! grep -qE '^https?://([A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\])(:[0-9]{1,5})?(/[^[:space:]]*)?$' <<< "$origin"; then
  echo "build-installer: '$origin' is not an origin such as https://rdp.example.com" >&2
  exit 2
fi

source tools/setup.sh
install_missing nsis python3
mkdir -p build
tools/build-windows.sh "${build_options[@]}"

staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
tools/stamp-origin "$build/tolvane-agent.exe" "$origin" "$staging/tolvane-agent.exe"
mkdir -p "$(dirname "$output")"
absolute() { case $1 in /*) echo "$1" ;; *) echo "$root/$1" ;; esac; }
output=$(absolute "$output")
echo "== building the installer (makensis)"
makensis -V2 -DAGENT="$staging/tolvane-agent.exe" -DLAUNCHER="$(absolute "$build")/tolvane-agent-launcher.exe" \
  -DOUTFILE="$output" tools/windows-installer.nsi
echo "== the installer: $output (trusts $origin)"
