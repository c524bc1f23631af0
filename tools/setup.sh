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

# The PC/SC service: where systemd manages pcscd (Debian's pcscd.socket starts it on the first
# call), it is used as it is; pcscd is started by hand only where nothing manages it, since a
# second, unmanaged pcscd beside the socket unit would fight it for the socket and the readers.
pcsc_socket=/run/pcscd/pcscd.comm

# pcsc_answers: whether something accepts connections on pcscd's socket (a running pcscd, or
# systemd listening on its behalf). Perl's IO::Socket::UNIX is in perl-base, on every Debian.
pcsc_answers() {
  [ -S "$pcsc_socket" ] &&
    perl -MIO::Socket::UNIX -e 'exit(IO::Socket::UNIX->new(Peer => $ARGV[0]) ? 0 : 1)' "$pcsc_socket" 2>/dev/null
}

# pcscd_managed: true when the PC/SC service answers, after starting pcscd.socket where systemd
# runs and the socket does not answer yet.
pcscd_managed() {
  if pcsc_answers; then
    echo "== using the PC/SC service on $pcsc_socket"
    return 0
  fi
  [ -d /run/systemd/system ] || return 1
  $sudo_cmd systemctl start pcscd.socket 2>/dev/null || return 1
  for _ in $(seq 50); do
    pcsc_answers && { echo "== using pcscd through systemd (pcscd.socket)"; return 0; }
    sleep 0.1
  done
  return 1
}

# start_pcscd_for LOG: where nothing manages pcscd, starts it in the foreground and stops it when
# the calling script exits; a pcscd that runs or that systemd manages is used and left alone.
started_pcscd=""
stop_started_pcscd() {
  if [ -n "$started_pcscd" ]; then
    kill "$started_pcscd" 2>/dev/null || true
    wait "$started_pcscd" 2>/dev/null || true
  fi
}
start_pcscd_for() {
  pcscd_managed && return 0
  if pidof pcscd > /dev/null; then
    echo "== using the pcscd that is already running"
    return 0
  fi
  echo "== starting pcscd (foreground, stopped at the end)"
  trap stop_started_pcscd EXIT
  pcscd -f > "$1" 2>&1 &
  started_pcscd=$!
  for _ in $(seq 50); do
    [ -S "$pcsc_socket" ] && break
    sleep 0.1
  done
}
