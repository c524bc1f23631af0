#!/usr/bin/env bash
# Builds the libFuzzer targets (clang 16, AddressSanitizer + UBSan) in build/fuzz, replays every
# kept regression input, then runs each target for a bounded time and fails on any crash, leak,
# sanitizer report or hang.
#
#   fuzz/run.sh [seconds]      seconds per target, default 30
#   FUZZ_TARGETS="fuzz_process fuzz_websocket" fuzz/run.sh 600
#
# Each target starts from its seed corpus (fuzz/corpus/<target>, kept in the repository) and
# from what earlier runs found (build/fuzz/corpus/<target>, kept between runs). An input that
# fails is left in build/fuzz/artifacts/<target>/; keep it in fuzz/regressions/<target>/ once
# its fault is fixed, so that every later run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-30}
targets=(${FUZZ_TARGETS:-fuzz_process fuzz_http_head fuzz_websocket fuzz_connection})
build=$root/build/fuzz
mkdir -p "$build"

if ! command -v clang++-16 > /dev/null || [ ! -d /usr/lib/llvm-16/lib/clang/16/lib/linux ]; then
  echo "== installing clang 16 and its sanitizer runtimes"
  sudo_cmd=""; [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends \
    clang-16 libclang-rt-16-dev
fi

echo "== building the fuzz targets (clang 16, libFuzzer, AddressSanitizer + UBSan)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-16 \
  -DTOLVANE_FUZZ=ON -DTOLVANE_TESTS=OFF > "$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
rm -f "$build/configure.log"
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Inputs may run past the default length of 4096 where the calls' own bounds are reached.
declare -A max_len=([fuzz_process]=8192 [fuzz_http_head]=4096 [fuzz_websocket]=8192
                    [fuzz_connection]=8192)
failed=()
for target in "${targets[@]}"; do
  binary=$build/fuzz/$target
  regressions=$root/fuzz/regressions/$target
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    echo "== $target: replaying $(ls "$regressions" | wc -l) regression inputs"
    if ! "$binary" -close_fd_mask=3 -timeout=10 "$regressions"/* > "$build/$target.replay.log" 2>&1; then
      tail -40 "$build/$target.replay.log"
      failed+=("$target (regression)")
      continue
    fi
  fi

  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target/
  mkdir -p "$corpus" "$artifacts"
  echo "== $target: fuzzing for ${seconds}s"
  # -close_fd_mask=3: the code under test prints diagnostics; libFuzzer keeps its own output.
  if "$binary" "$corpus" "$root/fuzz/corpus/$target" \
      -dict="$root/fuzz/dict/$target.dict" -max_total_time="$seconds" -timeout=10 \
      -max_len="${max_len[$target]}" -rss_limit_mb=2560 -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$artifacts" > "$build/$target.log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$build/$target.log" | tail -1 || true
    grep -E '^stat::number_of_executed_units' "$build/$target.log" || true
  else
    tail -60 "$build/$target.log"
    echo "== $target FAILED; the input is in $artifacts"
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "== fuzzing failed: ${failed[*]}"
  exit 1
fi
echo "== fuzzing: ${#targets[@]} targets ran ${seconds}s each without a fault"
