#!/usr/bin/env bash
# Builds the Debian package of the agent with dpkg-deb, from the work tree as it is:
#   tools/build-deb.sh [--origin ORIGIN]
# writes build/tolvane-agent_VERSION_ARCH.deb (its path is the last line printed) and checks it
# with lintian. It holds /usr/bin/tolvane-agent (Release, Debian's hardening flags), the systemd
# user unit /usr/lib/systemd/user/tolvane-agent.service, the man page and the machine's origin
# file /etc/tolvane-agent/origin (a conffile: comments only, or ORIGIN when given, so that a
# deployer's package trusts the site's web client with nothing to type). Depends: pcscd.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

origin=""
if [ "${1:-}" = "--origin" ] && [ $# -eq 2 ]; then
  origin=$2
elif [ $# -ne 0 ]; then
  echo "usage: $0 [--origin ORIGIN]" >&2
  exit 2
fi

source tools/setup.sh
install_missing cmake g++ make pkg-config libssl-dev libpcsclite-dev dpkg-dev binutils lintian

build=build/deb
# Every hardening option (bindnow too), and the last commit's time for the files in the package.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH
echo "== building the agent (Release, Debian's build flags) in $build"
mkdir -p "$build"
# dpkg-buildflags: the hardening Debian builds its packages with (fortify, stack protector,
# read-only relocations, PIE); lintian looks for it.
cmake -S . -B "$build/cmake" -DCMAKE_BUILD_TYPE=Release -DTOLVANE_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" > "$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build/cmake" -j"$(nproc)" --target tolvane-agent > "$build/build.log" 2>&1 ||
  { tail -50 "$build/build.log"; exit 1; }
agent="$build/cmake/src/tolvane-agent"

version=$("$agent" --version | sed -n 's/^tolvane-agent //p')
arch=$(dpkg --print-architecture)
[ -n "$version" ] || { echo "the agent printed no version" >&2; exit 1; }
# The agent's own rule decides what an origin is: it reads --origin before --version, and stops
# with status 2 and the reason for one that is not.
if [ -n "$origin" ] && ! "$agent" --origin "$origin" --version > /dev/null; then exit 2; fi

maintainer="Tolvane Agent developers <maintainers@tolvane.example>"
stage="$build/root"
rm -rf "$stage"
install -d -m 755 "$stage/DEBIAN" "$stage/usr/bin" "$stage/usr/lib/systemd/user" \
  "$stage/usr/share/man/man1" "$stage/usr/share/doc/tolvane-agent" "$stage/etc/tolvane-agent"
install -m 755 "$agent" "$stage/usr/bin/tolvane-agent"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$stage/usr/bin/tolvane-agent"
install -m 644 tools/deb/tolvane-agent.service "$stage/usr/lib/systemd/user/tolvane-agent.service"
gzip -9n < tools/deb/tolvane-agent.1 > "$stage/usr/share/man/man1/tolvane-agent.1.gz"
install -m 644 tools/deb/copyright "$stage/usr/share/doc/tolvane-agent/copyright"
{
  cat tools/deb/origin
  if [ -n "$origin" ]; then printf '\n%s\n' "$origin"; fi
} > "$stage/etc/tolvane-agent/origin"
chmod 644 "$stage/etc/tolvane-agent/origin"
# A native package's changelog: one entry for this version, dated by the last commit.
when=$(date -R -d "@$SOURCE_DATE_EPOCH")
printf 'tolvane-agent (%s) unstable; urgency=medium\n\n  * Built from the Tolvane Agent sources.\n\n -- %s  %s\n' \
  "$version" "$maintainer" "$when" | gzip -9n > "$stage/usr/share/doc/tolvane-agent/changelog.gz"
chmod 644 "$stage/usr/share/man/man1/tolvane-agent.1.gz" "$stage/usr/share/doc/tolvane-agent/changelog.gz"

install -m 755 tools/deb/postrm "$stage/DEBIAN/postrm"
echo /etc/tolvane-agent/origin > "$stage/DEBIAN/conffiles"
(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) > "$stage/DEBIAN/md5sums"
chmod 644 "$stage/DEBIAN/conffiles" "$stage/DEBIAN/md5sums"

# The shared libraries' packages, as dpkg-shlibdeps finds them (it wants a debian/control).
shlibs_dir=$(mktemp -d)
mkdir "$shlibs_dir/debian"
printf 'Source: tolvane-agent\n\nPackage: tolvane-agent\nArchitecture: any\n' > "$shlibs_dir/debian/control"
libs=$(cd "$shlibs_dir" && dpkg-shlibdeps -O "$root/$stage/usr/bin/tolvane-agent" 2>/dev/null |
       sed -n 's/^shlibs:Depends=//p')
rm -rf "$shlibs_dir"
[ -n "$libs" ] || { echo "dpkg-shlibdeps found no libraries" >&2; exit 1; }

cat > "$stage/DEBIAN/control" <<CONTROL
Package: tolvane-agent
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $libs, pcscd
Section: utils
Priority: optional
Description: smart cards of this computer for a remote-desktop web client
 A small local agent on 127.0.0.1:8095 that serves a bridge page and relays
 the smart-card redirection calls of a remote-desktop client running in a web
 browser to the PC/SC service (pcscd) and back.
 .
 Start it with the user's session: systemctl --user enable --now
 tolvane-agent. The web origin to trust is read from
 ~/.config/tolvane-agent/origin or /etc/tolvane-agent/origin.
CONTROL

deb="build/tolvane-agent_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" > /dev/null
echo "== lintian"
lintian --fail-on error,warning --tag-display-limit 0 "$deb"
echo "$deb"
