#!/usr/bin/env bash
# Packaging checks: the .deb builds, passes lintian, holds exactly the shipped files, its unit passes
# systemd-analyze verify and scores at most 2.5 in systemd-analyze security, its programs run from it, and (as root) a real install and purge leave the machine as it was.
# usage: package_test.sh SOURCE_DIR LINUX_BUILD WORK_DIR
set -uo pipefail
src=$1 build=$2 work=$3
for tool in lintian dpkg-deb dpkg-shlibdeps systemd-analyze; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (./dev deps installs it)"; exit 1; }
done
rm -rf "$work" && mkdir -p "$work" || exit 1
fail=0
bad() { echo "FAIL: $*"; fail=1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$("$src/deploy/package.sh" deb "$build" "$work/out") || { echo "FAIL: package.sh deb"; exit 1; }
[ "$(basename "$deb")" = "pellick_${version}_$(dpkg --print-architecture).deb" ] || bad "package named $deb"

# No lintian errors (warnings and notes are shown).
lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1 || bad "lintian reports errors"
grep -v 'running with root privileges' "$work/lintian.txt"

# Exactly these files, nothing else.
expected="usr/bin/hostsim
usr/bin/pellicksrv
usr/lib/pellick/Pellick.so
usr/lib/systemd/system/pellicksrv.service
usr/share/doc/pellick/README.md
usr/share/doc/pellick/changelog.gz
usr/share/doc/pellick/copyright
usr/share/man/man1/hostsim.1.gz
usr/share/man/man1/pellicksrv.1.gz"
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort)
[ "$actual" = "$expected" ] || bad "package contents differ:$(diff <(echo "$expected") <(echo "$actual") | sed 's/^/\n  /')"

root=$work/root
dpkg-deb -x "$deb" "$root" || bad "dpkg-deb -x"
out=$("$root/usr/bin/pellicksrv" --version 2>&1)
[ "$out" = "pellicksrv $version" ] || bad "pellicksrv --version says '$out', not 'pellicksrv $version'"
# The installed hostsim finds the installed plug-in (../lib/pellick) without --plugin.
"$root/usr/bin/hostsim" --renders 0 --quiet || bad "the packaged hostsim cannot load the packaged plug-in (exit $?)"
man -l "$root/usr/share/man/man1/pellicksrv.1.gz" >/dev/null 2>"$work/man.err" || [ ! -x /usr/bin/man ] || bad "man page: $(cat "$work/man.err")"

unit=$root/usr/lib/systemd/system/pellicksrv.service
for line in ExecStart=/usr/bin/pellicksrv DynamicUser=yes StateDirectory=pellick \
    "Environment=XDG_CONFIG_HOME=%S/pellick XDG_DATA_HOME=%S/pellick" Restart=on-failure LimitNOFILE=1048576 \
    NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes UMask=0077 StateDirectoryMode=0700 \
    SystemCallFilter=@system-service SystemCallErrorNumber=EPERM WantedBy=multi-user.target; do
  grep -qxF "$line" "$unit" || bad "the unit lacks '$line'"
done
# verify reports what it cannot parse as warnings and still exits 0: any output fails.
verify() {
  local out
  out=$(systemd-analyze verify --man=no "$1" 2>&1) && [ -z "$out" ] || bad "systemd-analyze verify $1: $out"
}
mkdir -p "$work/unit" && sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/unit/pellicksrv.service"
verify "$work/unit/pellicksrv.service"
# The sandbox: systemd's own exposure figure (0 to 10, lower is tighter) at most 2.5.
security=$(systemd-analyze security --offline=yes --no-pager "$work/unit/pellicksrv.service" 2>&1)
exposure=$(sed -n 's/.*Overall exposure level for pellicksrv\.service: \([0-9][0-9]*\.[0-9]\).*/\1/p' <<<"$security")
if [ -z "$exposure" ]; then
  bad "systemd-analyze security gave no exposure figure: $(tail -3 <<<"$security")"
elif ! awk -v e="$exposure" 'BEGIN { exit !(e <= 2.5) }'; then
  bad "the unit's exposure is $exposure, above 2.5:
$(grep '✗' <<<"$security")"
else
  echo "unit exposure $exposure"
fi

# A real install and purge, where this is root and pellick is not installed already.
snapshot() {
  find /etc /var/lib /usr/bin /usr/lib/systemd /usr/lib/pellick /usr/share/man/man1 /usr/share/doc -xdev \
    \( -path /var/lib/dpkg -o -path /var/lib/apt \) -prune -o -printf '%p %y %m %u %l\n' 2>/dev/null | sort
}
dpkg_locked() {  # runs dpkg, waiting while another package manager holds its lock
  local i out
  for i in $(seq 90); do
    out=$(dpkg "$@" 2>&1) && return 0
    grep -q 'lock' <<<"$out" || { echo "$out"; return 1; }
    sleep 2
  done
  echo "$out"; return 1
}
if [ "$(id -u)" -ne 0 ]; then
  echo "not root: the real install and purge are left out"
elif dpkg-query -W -f='${Status}' pellick 2>/dev/null | grep -q installed; then
  echo "pellick is installed on this machine: the real install and purge are left out"
else
  snapshot >"$work/before.txt"
  if dpkg_locked -i "$deb"; then
    out=$(/usr/bin/pellicksrv --version 2>&1)
    [ "$out" = "pellicksrv $version" ] || bad "installed pellicksrv --version says '$out'"
    verify /usr/lib/systemd/system/pellicksrv.service
    [ -L /etc/systemd/system/multi-user.target.wants/pellicksrv.service ] || bad "the service is not enabled"
    # The state a run of the service leaves (no systemd runs here): DynamicUser's folder in
    # /var/lib/private behind a link, with settings and history. The purge must take it all
    # (/var/lib/private itself is systemd's, so only where it is already).
    if [ -d /var/lib/private ] && [ ! -e /var/lib/private/pellick ] && [ ! -e /var/lib/pellick ]; then
      mkdir -p /var/lib/private/pellick/Zandrel/Pellick &&
        echo "HttpPort=10432" >/var/lib/private/pellick/Zandrel/Pellick/settings.ini &&
        : >/var/lib/private/pellick/Zandrel/Pellick/history.sqlite3 && ln -s private/pellick /var/lib/pellick ||
        bad "cannot make the service's state folder"
    fi
    dpkg_locked --purge pellick || bad "dpkg --purge"
  else
    bad "dpkg -i"
    dpkg_locked --purge pellick >/dev/null
  fi
  snapshot >"$work/after.txt"
  diff "$work/before.txt" "$work/after.txt" >"$work/left.txt" || bad "install and purge changed the machine:
$(head -40 "$work/left.txt")"
fi

[ $fail -eq 0 ] && echo "package checks passed: $(basename "$deb")"
exit $fail
