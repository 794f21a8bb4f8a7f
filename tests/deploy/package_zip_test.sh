#!/usr/bin/env bash
# The Windows zip: built from the windows and windows32 builds, it holds exactly the programs, both plug-ins
# (each of the right machine type, needing no DLL beyond Windows' own), the manual and the licence notices.
# usage: package_zip_test.sh SOURCE_DIR WINDOWS_BUILD WINDOWS32_BUILD WORK_DIR
set -uo pipefail
src=$1 win64=$2 win32=$3 work=$4
rm -rf "$work" && mkdir -p "$work" || exit 1
fail=0
bad() { echo "FAIL: $*"; fail=1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win64/CMakeCache.txt")
zip=$("$src/deploy/package.sh" zip "$win64" "$win32" "$work/out") || { echo "FAIL: package.sh zip"; exit 1; }
[ "$(basename "$zip")" = "pellick-$version-windows.zip" ] || bad "zip named $zip"

expected="Pellick.dll
README.txt
copyright.txt
hostsim.exe
pellicksrv.exe
x86/Pellick.dll"
actual=$(cd "$work" && cmake -E tar tf "$zip" | grep -v '/$' | sort)
[ "$actual" = "$expected" ] || bad "zip contents differ:$(diff <(echo "$expected") <(echo "$actual") | sed 's/^/\n  /')"

mkdir -p "$work/x" && (cd "$work/x" && cmake -E tar xf "$zip") || bad "cannot unpack $zip"
# The PE header's machine field: 8664 for x86-64, 014c for x86.
machine() {
  local pe
  pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' '
}
for file in pellicksrv.exe:8664 hostsim.exe:8664 Pellick.dll:8664 x86/Pellick.dll:014c; do
  m=$(machine "$work/x/${file%%:*}" 2>/dev/null)
  [ "$m" = "${file##*:}" ] || bad "${file%%:*} has machine type '$m', not ${file##*:}"
done
# Nothing but Windows' own DLLs: the mingw runtime is linked in, so the zip needs no other file.
for file in pellicksrv.exe hostsim.exe Pellick.dll x86/Pellick.dll; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$work/x/$file" | sed -n 's/^.*DLL Name: //p')
  grep -qiE '^lib|^mingw' <<<"$dlls" && bad "$file needs DLLs the zip does not hold: $(tr '\n' ' ' <<<"$dlls")"
done
shown=$(strings -el "$work/x/pellicksrv.exe" | grep -A1 -x ProductVersion | tail -1)
[ "$shown" = "$version" ] || bad "pellicksrv.exe's version resource says '$shown', not $version"
grep -q $'^# Pellick\r$' "$work/x/README.txt" || bad "README.txt is not the manual with Windows line ends"
grep -q $'^ - nlohmann-json (pellicksrv): Expat.\r$' "$work/x/copyright.txt" ||
  bad "copyright.txt is not the notices with Windows line ends"

[ $fail -eq 0 ] && echo "zip checks passed: $(basename "$zip")"
exit $fail
