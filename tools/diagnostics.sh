#!/usr/bin/env bash
# Serves the diagnostics page (web/) on http://127.0.0.1:8096 and runs the agent trusting that
# origin, until the agent ends; then the page's server is stopped too.
#   tools/diagnostics.sh AGENT_BINARY [more agent arguments]
set -euo pipefail
if [ $# -lt 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 AGENT_BINARY [agent arguments]" >&2
  exit 2
fi
agent_binary=$1
shift
web_root="$(cd "$(dirname "$0")/../web" && pwd)"
port=8096
origin="http://127.0.0.1:$port"

server=""
agent=""
stop() {
  for pid in $agent $server; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $agent $server; do
    wait "$pid" 2>/dev/null || true
  done
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

python3 -m http.server "$port" --bind 127.0.0.1 --directory "$web_root" > /dev/null 2>&1 &
server=$!
# The page is only worth opening once it is served: wait for the port (5 s at most).
for _ in $(seq 50); do
  if ! kill -0 "$server" 2>/dev/null; then
    echo "the diagnostics page could not be served on port $port (is it in use?)" >&2
    exit 1
  fi
  (exec 3<> "/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

"$agent_binary" --origin "$origin" "$@" &
agent=$!
echo "Diagnostics page: $origin/ (open it in a browser; it opens the agent's bridge window)"
status=0
wait "$agent" || status=$?
agent=""
exit "$status"
