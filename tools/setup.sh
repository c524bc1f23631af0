# Shared set-up of the project's scripts (sourced, not run): Debian packages and pcscd.

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd=sudo

# install_missing PACKAGE...: installs with apt-get the packages that are not installed yet.
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "== installing: ${missing[*]}"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# start_pcscd_for LOG: starts pcscd in the foreground when none runs, and stops it when the
# calling script exits; a pcscd that already runs is used and left alone.
started_pcscd=""
stop_started_pcscd() {
  if [ -n "$started_pcscd" ]; then
    kill "$started_pcscd" 2>/dev/null || true
    wait "$started_pcscd" 2>/dev/null || true
  fi
}
start_pcscd_for() {
  if pidof pcscd > /dev/null; then
    echo "== using the pcscd that is already running"
    return 0
  fi
  echo "== starting pcscd (foreground, stopped at the end)"
  trap stop_started_pcscd EXIT
  pcscd -f > "$1" 2>&1 &
  started_pcscd=$!
  for _ in $(seq 50); do
    [ -S /run/pcscd/pcscd.comm ] && break
    sleep 0.1
  done
}
