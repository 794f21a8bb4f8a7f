#!/usr/bin/env bash
# Builds the release packages from finished build folders:
#   deploy/package.sh deb LINUX_BUILD OUT_DIR               -> OUT_DIR/pellick_<version>_<arch>.deb
#   deploy/package.sh zip WINDOWS_BUILD WINDOWS32_BUILD OUT_DIR -> OUT_DIR/pellick-<version>-windows.zip
# Both lay the files out with cmake --install (deploy/CMakeLists.txt); the version is the CMake project's.
set -euo pipefail
umask 022
HERE=$(cd "$(dirname "$0")" && pwd)
MAINTAINER="Pellick maintainers <pellick@zandrel.example>"

die() { echo "package: $*" >&2; exit 1; }

project_version() {
  local v
  v=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt" 2>/dev/null)
  [ -n "$v" ] || die "$1 is not a configured build folder"
  echo "$v"
}

make_deb() {
  local build=$1 out=$2 version arch stage root deps
  version=$(project_version "$build")
  arch=$(dpkg --print-architecture)
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' RETURN
  root=$stage/root
  DESTDIR=$root cmake --install "$build" --prefix /usr --strip >/dev/null || die "cmake --install failed"

  # Dated by SOURCE_DATE_EPOCH, else the newest commit, so a rebuild of one version makes the same file.
  local when=${SOURCE_DATE_EPOCH:-$(git -C "$HERE" log -1 --format=%ct 2>/dev/null || date +%s)}
  sed -e "s/@VERSION@/$version/" -e "s/@MAINTAINER@/$MAINTAINER/" -e "s/@DATE@/$(LC_ALL=C date -u -R -d "@$when")/" \
    "$HERE/debian/changelog.in" |
    gzip -9n >"$root/usr/share/doc/pellick/changelog.gz"

  # The shared libraries the programs need, as Debian's package tools name them.
  mkdir -p "$stage/debian" && : >"$stage/debian/control"
  deps=$(cd "$stage" && dpkg-shlibdeps -O root/usr/bin/pellicksrv root/usr/bin/hostsim root/usr/lib/pellick/Pellick.so \
    2>/dev/null | sed -n 's/^shlibs:Depends=//p') || die "dpkg-shlibdeps failed"
  [ -n "$deps" ] || die "dpkg-shlibdeps found no dependencies"

  mkdir -p "$root/DEBIAN"
  cat >"$root/DEBIAN/control" <<CONTROL
Package: pellick
Version: $version
Architecture: $arch
Maintainer: $MAINTAINER
Installed-Size: $(du -sk "$root/usr" | cut -f1)
Depends: $deps
Section: graphics
Priority: optional
Description: render progress monitor: status server, renderer plug-in, host simulator
 Pellick shows, live, how far every 3D render on a farm has got and when it
 will finish. The renderer plug-in (installed in /usr/lib/pellick) times every
 render pass and reports it to pellicksrv, the status server, which shows
 progress, throughput, remaining time and completion in the terminal, in an
 HTML file and on a web dashboard with JSON and Prometheus metrics.
 .
 The package runs pellicksrv as the systemd service pellicksrv.service.
CONTROL
  install -m 755 "$HERE/debian/postinst" "$HERE/debian/prerm" "$HERE/debian/postrm" "$root/DEBIAN/"
  (cd "$root" && find usr -type f -printf '%P\n' | sort | sed 's|^|usr/|' | xargs md5sum) >"$root/DEBIAN/md5sums"
  chmod 644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

  mkdir -p "$out" && out=$(cd "$out" && pwd)
  dpkg-deb --root-owner-group -Zxz --build "$root" "$out/pellick_${version}_${arch}.deb" >/dev/null ||
    die "dpkg-deb failed"
  echo "$out/pellick_${version}_${arch}.deb"
}

make_zip() {
  local win64=$1 win32=$2 out=$3 version stage zip
  version=$(project_version "$win64")
  [ -f "$win32/plugin/Pellick.dll" ] || die "$win32/plugin/Pellick.dll is missing: build the windows32 preset first"
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' RETURN
  cmake --install "$win64" --prefix "$stage/zip" --strip >/dev/null || die "cmake --install $win64 failed"
  cmake --install "$win32" --prefix "$stage/zip" --strip >/dev/null || die "cmake --install $win32 failed"
  mkdir -p "$out"
  zip=$(cd "$out" && pwd)/pellick-$version-windows.zip
  rm -f "$zip"
  (cd "$stage/zip" && cmake -E tar cf "$zip" --format=zip -- $(find . -type f -printf '%P\n' | sort)) ||
    die "cannot write $zip"
  echo "$zip"
}

case "${1:-}" in
  deb) [ $# -eq 3 ] || die "usage: package.sh deb LINUX_BUILD OUT_DIR"; make_deb "$2" "$3" ;;
  zip) [ $# -eq 4 ] || die "usage: package.sh zip WINDOWS_BUILD WINDOWS32_BUILD OUT_DIR"; make_zip "$2" "$3" "$4" ;;
  *) die "usage: package.sh deb LINUX_BUILD OUT_DIR | zip WINDOWS_BUILD WINDOWS32_BUILD OUT_DIR" ;;
esac
