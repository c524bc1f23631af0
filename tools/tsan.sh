#!/usr/bin/env bash
# Builds the server and relay under ThreadSanitizer (build/tsan, g++) and runs, once each:
#   - the context guard's and the call scheduler's unit tests (unit_tests, ContextGuard* and
#     CallScheduler*: the table of contexts that every connection thread shares, the worker
#     threads of a connection that runs calls side by side);
#   - the server library's tests (velkin_tests);
#   - the agent binary itself under concurrent load: the quick profile of tests/load (many
#     WebSocket connections, concurrent requests, slow, vanishing and malformed clients), then
#     the end-to-end relay, clean-up and concurrent-call suites of tests/agent.
# Fails on any ThreadSanitizer report or test failure. Needs pcscd running (test.sh starts it).
#
#   tools/tsan.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build/tsan

echo "== building (Debug, ThreadSanitizer)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_TSAN=ON > /dev/null
targets=(unit_tests tolvane-agent)
[ -d tests/velkin ] && targets+=(velkin_tests)
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

# halt_on_error=0: every race of a run is listed; exitcode makes any report fail the binary.
export TSAN_OPTIONS="halt_on_error=0 exitcode=66 second_deadlock_stack=1 suppressions=$root/tools/tsan.supp"
failed=()
rm -f "$build"/agent_*.tsan*
run() {
  local name=$1; shift
  echo "== $name"
  if ! "$@" > "$build/$name.log" 2>&1; then
    tail -80 "$build/$name.log"
    failed+=("$name")
  elif grep -q "ThreadSanitizer" "$build/$name.log"; then
    grep -A30 "WARNING: ThreadSanitizer" "$build/$name.log" | head -120
    failed+=("$name")
  else
    tail -3 "$build/$name.log"
  fi
}

run context_guard "$build/tests/unit_tests" --gtest_filter='ContextGuard*:CallScheduler*'
if [ -x "$build/tests/velkin_tests" ]; then
  run velkin env TOLVANE_TEST_DATA="$root/tests" "$build/tests/velkin_tests"
fi
# The load test takes the port lock itself and fails on a sanitizer line of the agent.
run agent_load env AGENT="$build/src/tolvane-agent" /usr/bin/python3 tests/load/load_test.py quick
for suite in relay cleanup concurrent; do
  if [ -f "tests/agent/test_$suite.py" ]; then
    # The agent's standard error goes to the test's pipe; the suites read it, so a race shows
    # in the output as well as in a failed test when the agent's lines are checked.
    run "agent_$suite" env AGENT="$build/src/tolvane-agent" PYTHONDONTWRITEBYTECODE=1 TOLVANE_TIME_SCALE=4 \
      TSAN_OPTIONS="$TSAN_OPTIONS log_path=$build/agent_$suite.tsan" \
      bash -c "cd tests/agent && flock /tmp/tolvane-port8095.lock /usr/bin/python3 -m unittest test_$suite"
    if compgen -G "$build/agent_$suite.tsan*" > /dev/null; then
      cat "$build"/agent_"$suite".tsan* | head -120
      failed+=("agent_$suite (ThreadSanitizer report)")
    fi
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "== ThreadSanitizer: failed: ${failed[*]}"
  exit 1
fi
echo "== ThreadSanitizer: no race reported"
