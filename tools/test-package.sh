#!/usr/bin/env bash
# Builds the Debian package (tools/build-deb.sh) and tries it as a deployer would, in a fresh
# Debian 12 root (debootstrap, minbase): installs it with apt, starts the agent as the user unit
# does for a user who is not root, checks that it answers the handshake (03 01 -> 03 02 over a
# WebSocket, Python's websockets) for the origin of the machine's file and refuses another page,
# that the user's file wins over the machine's, that "systemctl --global enable" finds the unit;
# then removes and purges it and checks that nothing is left behind. Needs root (debootstrap,
# chroot); the agent runs in a network namespace of its own, so port 8095 of this machine is not
# touched. Takes a few minutes (1 to 5 here), most of it debootstrap and apt.
#   TOLVANE_MIRROR: the Debian mirror (default http://deb.debian.org/debian).
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/setup.sh
[ "$(id -u)" -eq 0 ] || { echo "$0: needs root (debootstrap, chroot, unshare)" >&2; exit 1; }
install_missing debootstrap util-linux iproute2

machine_origin=https://rdp.example.com
user_origin=https://rdp.example.com:8443/client/
mirror=${TOLVANE_MIRROR:-http://deb.debian.org/debian}

deb=$(tools/build-deb.sh --origin "$machine_origin" | tail -1)
[ -f "$deb" ] || { echo "no package built" >&2; exit 1; }

root=$(mktemp -d /var/tmp/tolvane-package-root.XXXXXX)
chmod 755 "$root"  # the root of a system: every user passes through it
cleanup() {
  rm -f "$root.before" "$root.after" "$root.diff" "$root.verify" "$root.debootstrap.log"
  umount -R "$root/proc" 2>/dev/null || true
  # Never delete through a mount that is still there.
  if findmnt -rn -o TARGET | grep -q "^$root"; then
    echo "$root still has mounts; left in place" >&2
  else
    rm -rf "$root"
  fi
}
trap cleanup EXIT

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
apt_in_root() { in_root env DEBIAN_FRONTEND=noninteractive apt-get -qq -o=Dpkg::Use-Pty=0 "$@"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

echo "== debootstrap (minbase, bookworm) in $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" > "$root.debootstrap.log" 2>&1 ||
  { tail -20 "$root.debootstrap.log"; exit 1; }
mount -t proc proc "$root/proc"
# Nothing is started by a package inside the root: no daemon of the root's runs beside this
# machine's own.
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"

# What the package needs and what the test needs, first, so that they are in the picture taken
# before the package comes and goes: pcscd (its Depends), systemctl, Python's websockets.
echo "== installing pcscd, systemd and python3-websockets in the root"
apt_in_root update
apt_in_root install -y --no-install-recommends pcscd systemd python3-websockets > /dev/null
in_root useradd --create-home --shell /bin/sh tester

# Every file and link of the root with its type, owner and mode, less what changes by itself.
picture() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./tmp -o -path ./var/tmp -o -path ./var/log \
      -o -path ./var/cache -o -path ./var/lib/apt -o -path ./run -o -path ./dev \) -prune -o \
      \( -path ./var/lib/dpkg/status -o -path ./var/lib/dpkg/status-old -o -path ./var/lib/dpkg/lock \
         -o -path ./var/lib/dpkg/lock-frontend -o -path ./var/lib/dpkg/triggers/Lock \) -prune -o \
      -printf '%y %u %m %p\n' | sort)
}
picture > "$root.before"

echo "== installing $deb"
cp "$deb" "$root/tmp/tolvane-agent.deb"
apt_in_root install -y /tmp/tolvane-agent.deb > /dev/null
rm "$root/tmp/tolvane-agent.deb"
in_root dpkg-query -W -f='${Status} ${Version}\n' tolvane-agent
in_root dpkg -s tolvane-agent | grep -q '^Depends:.*pcscd' || fail "the package does not depend on pcscd"
unit=/usr/lib/systemd/user/tolvane-agent.service
[ -f "$root$unit" ] || fail "no user unit at $unit"
# The user manager's runtime folder that a login would make; man is not in a minbase root.
install -d -m 700 "$root/run/user/0"
in_root env XDG_RUNTIME_DIR=/run/user/0 systemd-analyze --user --man=no verify "$unit" 2> "$root.verify" ||
  { cat "$root.verify"; fail "systemd-analyze verify $unit"; }
exec_start=$(sed -n 's/^ExecStart=//p' "$root$unit")
[ "$exec_start" = /usr/bin/tolvane-agent ] || fail "ExecStart is '$exec_start'"
in_root "$exec_start" --version

# The agent as the unit starts it for "tester", in a network namespace of its own (only its
# loopback), and a WebSocket client beside it: TRUSTED answered 03 02, OTHER refused with 403.
cat > "$root/tmp/handshake.py" <<'PY'
import asyncio, subprocess, sys, time
import websockets

agent, trusted, other = sys.argv[1:4]
proc = subprocess.Popen([agent], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
try:
    deadline = time.monotonic() + 15
    for line in proc.stdout:
        print("   agent:", line.rstrip())
        if line.startswith("Tolvane Agent is ready on port 8095."):
            break
        if time.monotonic() > deadline:
            sys.exit("the agent did not get ready")

    async def check():
        async with websockets.connect("ws://127.0.0.1:8095", origin=trusted, open_timeout=5) as ws:
            await ws.send(bytes([3, 1]))
            reply = await asyncio.wait_for(ws.recv(), 5)
            assert reply == bytes([3, 2]), reply
            print(f"   {trusted}: 03 01 answered {reply.hex()}")
        try:
            async with websockets.connect("ws://127.0.0.1:8095", origin=other, open_timeout=5):
                sys.exit(f"{other} was let in")
        except websockets.exceptions.InvalidStatusCode as refused:
            assert refused.status_code == 403, refused.status_code
            print(f"   {other}: refused with {refused.status_code}")

    asyncio.run(asyncio.wait_for(check(), 20))
finally:
    proc.terminate()
    proc.wait(10)
PY
handshake() {
  local trusted=$1 other=$2
  unshare --net bash -c 'ip link set lo up && exec chroot --userspec=tester:tester "$1" \
      /usr/bin/env -i HOME=/home/tester PATH=/usr/bin:/bin LANG=C.UTF-8 \
      timeout 60 python3 /tmp/handshake.py "$2" "$3" "$4"' _ "$root" "$exec_start" "$trusted" "$other" ||
    fail "the handshake for $trusted"
}

echo "== the machine's origin (/etc/tolvane-agent/origin, as the package ships it)"
grep -qx "$machine_origin" "$root/etc/tolvane-agent/origin" || fail "the conffile lacks $machine_origin"
handshake "$machine_origin" https://evil.example
echo "== the user's origin (~/.config/tolvane-agent/origin) wins over the machine's"
in_root su tester -c "mkdir -p ~/.config/tolvane-agent && echo $user_origin > ~/.config/tolvane-agent/origin"
handshake "${user_origin%/client/}" "$machine_origin"
in_root rm -r /home/tester/.config
rm "$root/tmp/handshake.py"

echo "== enabled for every user's login (systemctl --global enable)"
in_root systemctl --global enable tolvane-agent 2>&1 | sed 's/^/   /'
[ -L "$root/etc/systemd/user/default.target.wants/tolvane-agent.service" ] || fail "not enabled"

echo "== remove: the program and the unit go, the origin file stays"
apt_in_root remove -y tolvane-agent > /dev/null
[ ! -e "$root/usr/bin/tolvane-agent" ] && [ ! -e "$root$unit" ] || fail "files left after remove"
[ -f "$root/etc/tolvane-agent/origin" ] || fail "the conffile went with remove"
echo "== purge: nothing is left behind"
apt_in_root purge -y tolvane-agent > /dev/null
in_root dpkg-query -W -f='${Status}\n' tolvane-agent 2>/dev/null | grep -q installed &&
  fail "still known to dpkg"
picture > "$root.after"
if ! diff "$root.before" "$root.after" > "$root.diff"; then
  cat "$root.diff"
  fail "the root differs from before the install"
fi
echo "package test: installed, answered, removed and purged without a trace"
