#!/usr/bin/env bash
# Serves the diagnostics page (web/) on http://127.0.0.1:8096 and runs the agent trusting that
# origin, until either ends; then the other is stopped too.
#   tools/diagnostics.sh AGENT_BINARY [more agent arguments]
#
# The agent trusts whatever answers on 8096 with the user's cards, so it starts only once this
# script's own server answers there: the server hands out a random token that only this script
# knows, and another program that holds the port cannot. If the server stops, so does the agent.
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
token_path="/.diagnostics-token"
token="$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')"

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

# The token travels in the environment, not on the command line that every user can read.
DIAGNOSTICS_TOKEN="$token" python3 - "$port" "$web_root" "$token_path" > /dev/null 2>&1 <<'EOF' &
import functools, http.server, os, sys
port, root, token_path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
token = os.environ.pop("DIAGNOSTICS_TOKEN").encode()

class Handler(http.server.SimpleHTTPRequestHandler):
    def do_GET(self):
        if self.path != token_path:
            return super().do_GET()
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(token)))
        self.end_headers()
        self.wfile.write(token)

http.server.ThreadingHTTPServer(("127.0.0.1", port),
                                functools.partial(Handler, directory=root)).serve_forever()
EOF
server=$!

# The token as served on the port now, or nothing.
served_token() {
  local answer
  answer="$( (exec 3<> "/dev/tcp/127.0.0.1/$port" &&
              printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1:%s\r\n\r\n' "$token_path" "$port" >&3 &&
              timeout 2 cat <&3) 2>/dev/null)" || true
  printf '%s' "${answer##*$'\r\n\r\n'}"
}

# Only the page's own server makes the agent start (5 s at most to come up).
answered=""
for _ in $(seq 50); do
  if ! kill -0 "$server" 2>/dev/null; then
    break
  fi
  if [ "$(served_token)" = "$token" ]; then
    answered=yes
    break
  fi
  sleep 0.1
done
if [ -z "$answered" ]; then
  echo "The diagnostics page could not be served on port $port: another program holds it," \
       "or it did not start. The agent is not started; free port $port and try again." >&2
  exit 1
fi

"$agent_binary" --origin "$origin" "$@" &
agent=$!
echo "Diagnostics page: $origin/ (open it in a browser; it opens the agent's bridge window)"
status=0
wait -n "$agent" "$server" || status=$?
if ! kill -0 "$server" 2>/dev/null; then
  server=""
  echo "The diagnostics page's server on port $port stopped; the agent is stopped too." >&2
  [ "$status" -ne 0 ] || status=1
else
  agent=""
fi
exit "$status"
