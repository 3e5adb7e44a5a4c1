#!/usr/bin/env bash
# The Debian package as an operator meets it: cpack builds it from this build, lintian finds no
# error in it, dpkg -i installs it with its user, unit and list, systemd-analyze accepts the unit,
# the installed vardex-check runs, and dpkg --purge leaves nothing behind. Changes the system,
# so it runs only as root (CI does).
set -euo pipefail
build=$1
if [ "$(id -u)" -ne 0 ]; then
  echo "not root: the package test installs into the system"; exit 77
fi
for tool in cpack lintian dpkg-shlibdeps systemd-analyze; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed"; exit 77; }
done
if dpkg-query -W vardex >/dev/null 2>&1; then
  echo "a vardex package is installed already: not touching it"; exit 77
fi
work=$(mktemp -d)
trap 'dpkg --purge vardex >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }
# dpkg waits for no lock of its own: another apt or dpkg may hold it for a while.
with_dpkg() {
  for _ in $(seq 60); do
    "$@" 2>"$work/dpkg.err" && return 0
    grep -q 'lock' "$work/dpkg.err" || { cat "$work/dpkg.err"; return 1; }
    sleep 2
  done
  return 1
}

(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/vardex_*.deb)
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no dependencies from dpkg-shlibdeps"
contents=$(dpkg-deb -c "$deb")
for file in ./usr/bin/vardex-check ./usr/share/man/man1/vardex-check.1.gz ./lib/systemd/system/vardex-check.service \
    ./etc/vardex/services.cfg ./usr/share/doc/vardex/copyright ./usr/share/man/man5/vardex.cfg.5.gz \
    ./usr/share/doc/vardex/examples/services.cfg; do
  grep -q " $file\$" <<<"$contents" || fail "$file missing from the package"
done
# Every tag, pedantic and informational ones included, fails the test but those named here,
# each for its reason:
allowed=(
  # CPack strips with strip's defaults, which keep the compilers' version strings in .comment
  # (a few hundred bytes); the statically linked C++ runtime brings its own.
  binary-has-unneeded-section
  # The service is for systemd alone: its sandbox (ProtectSystem, capabilities, the state
  # directory) has no init.d equivalent.
  package-supports-alternative-init-but-no-init.d-script
  # "Error geting SSL method." is the TLS layer's message as specified, kept letter for letter.
  spelling-error-in-binary
)
# A debug or sanitizer build has none of the release build's hardening; only a release build
# is held to it.
if ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$build/CMakeCache.txt"; then
  allowed+=(hardening-no-bindnow hardening-no-fortify-functions hardening-no-pie hardening-no-relro)
fi
lintian --pedantic -I --tag-display-limit 0 "$deb" | tee "$work/lintian.txt"
pattern=$(IFS='|'; echo "${allowed[*]}")
if grep -Ev "^[EWIP]: vardex[^:]*: ($pattern)( |\$)" "$work/lintian.txt" | grep -q '^[EWIPX]:'; then
  fail "lintian: $(grep -Ev "^[EWIP]: vardex[^:]*: ($pattern)( |\$)" "$work/lintian.txt" | grep '^[EWIPX]:' | head -5)"
fi

with_dpkg dpkg -i "$deb" || fail "dpkg -i"
getent passwd vardex >/dev/null || fail "no vardex user"
# Enabled on installation through deb-systemd-helper, which records the link for the purge.
wants=/etc/systemd/system/multi-user.target.wants/vardex-check.service
[ -L "$wants" ] || fail "the unit is not enabled after installation"
systemd-analyze verify /lib/systemd/system/vardex-check.service || fail "systemd-analyze verify"
/usr/bin/vardex-check --version | grep -q '^vardex-check ' || fail "the installed vardex-check does not run"
(cd "$work" && /usr/bin/vardex-check /etc/vardex/services.cfg >/dev/null 2>"$work/check.err"; [ $? -le 1 ]) \
  || fail "the installed list does not read: $(cat "$work/check.err")"
[ ! -s "$work/check.err" ] || fail "the installed list: $(cat "$work/check.err")"

with_dpkg dpkg --purge vardex || fail "dpkg --purge"
for path in /usr/bin/vardex-check /usr/bin/vardex /lib/systemd/system/vardex-check.service /etc/vardex "$wants" \
    /var/lib/systemd/deb-systemd-helper-enabled/vardex-check.service.dsh-also; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path left after purge"
done
echo "package test passed"
