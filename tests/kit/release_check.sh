#!/usr/bin/env bash
# Builds both release bundles with scripts/release from a fresh clone and
# checks them: the Windows DLL exports exactly what Kvarn_Rcvr.def lists, by
# name and ordinal; the Windows tools are 32-bit console programs that need
# no DLL beyond the system's (and the monitor Kvarn_Rcvr.dll's plain names); both import libraries carry the stdcall symbols of every
# export and link a program that imports the undecorated names (run under Wine
# when it is installed); the Linux tarball holds the installed tree and builds
# a pkg-config consumer. Slow (two Release builds): not part of ctest.
# Usage: tests/kit/release_check.sh [DIST_DIR]   (default: a temporary one)
set -uo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dist=${1:-$tmp/dist}
failed=0
ok() { echo "ok   $*"; }
bad() { echo "FAIL $*"; failed=1; }

"$root/scripts/release" --out "$dist" || { echo "FAIL scripts/release"; exit 1; }
version=$(sed -nE 's/^project\(Kvarn_Rcvr VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")
zip=$dist/Kvarn_Rcvr-$version-win32.zip
tarball=$dist/Kvarn_Rcvr-$version-linux-$(uname -m).tar.gz
[ -f "$zip" ] && ok "$(basename "$zip")" || bad "no $zip"
[ -f "$tarball" ] && ok "$(basename "$tarball")" || bad "no $tarball"
[ $failed -eq 0 ] || exit 1

# --- Windows bundle ---------------------------------------------------------
unzip -q "$zip" -d "$tmp/win"
w=$tmp/win/Kvarn_Rcvr-$version-win32
for f in Kvarn_Rcvr.dll Kvarn_Rcvr.def libKvarn_Rcvr.dll.a Kvarn_Rcvr.lib include/kvarn_rcvr.h README.md \
         kvarn-monitor.exe kvarn-sim.exe docs/windows-tools.md examples/c/host.c bindings/python/src/kvarn_rcvr/__init__.py bindings/pascal/kvarnrcvr.pas examples/csharp/KvarnRcvr.cs \
         docs/protocol.md; do
  [ -f "$w/$f" ] && ok "zip has $f" || bad "zip lacks $f"
done

# "name@N @ord" lines of the .def -> "ord name", and the decorated names.
def_exports=$(sed -nE 's/^[[:space:]]*([A-Za-z_][A-Za-z0-9_]*)@[0-9]+[[:space:]]+@([0-9]+).*/\2 \1/p' "$w/Kvarn_Rcvr.def" | sort)
def_symbols=$(sed -nE 's/^[[:space:]]*([A-Za-z_][A-Za-z0-9_]*@[0-9]+)[[:space:]]+@[0-9]+.*/\1/p' "$w/Kvarn_Rcvr.def")
[ "$(wc -l <<<"$def_exports")" -eq 5 ] && ok ".def lists five exports" || bad ".def: $def_exports"

# objdump lists the export names as "[i] name", i = ordinal - base.
dll_exports=$(i686-w64-mingw32-objdump -p "$w/Kvarn_Rcvr.dll" | awk '
  /Ordinal Base/ { base = $NF }
  /\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
  names && /^[[:space:]]*$/ { names = 0 }
  names && match($0, /\[ *[0-9]+\]/) { i = substr($0, RSTART + 1, RLENGTH - 2) + 0; print i + base, $NF }' | sort)
if [ "$dll_exports" = "$def_exports" ]; then
  ok "DLL exports = .def (names and ordinals)"
else
  bad "DLL exports differ from the .def:"; diff <(echo "$def_exports") <(echo "$dll_exports")
fi
i686-w64-mingw32-objdump -f "$w/Kvarn_Rcvr.dll" | grep -q 'file format pei-i386' &&
  ok "DLL is 32-bit x86" || bad "DLL is not pei-i386"
imports=$(i686-w64-mingw32-objdump -p "$w/Kvarn_Rcvr.dll" | sed -nE 's/^[[:space:]]*DLL Name: (.*)/\1/p' | tr 'A-Z' 'a-z')
extra=$(grep -v -x -E 'kernel32.dll|user32.dll|msvcrt.dll|advapi32.dll|ws2_32.dll' <<<"$imports" || true)
[ -z "$extra" ] && ok "DLL imports only system DLLs" || bad "DLL imports $extra"

# The tools: console programs, no MinGW runtime DLLs; the monitor imports
# the library's undecorated names.
for exe in kvarn-monitor.exe kvarn-sim.exe; do
  [ -f "$w/$exe" ] || continue
  head=$(i686-w64-mingw32-objdump -p "$w/$exe")
  grep -q 'Subsystem[[:space:]]*00000003' <<<"$head" && ok "$exe is a console program" || bad "$exe is not a console program"
  dlls=$(sed -nE 's/^[[:space:]]*DLL Name: (.*)/\1/p' <<<"$head" | tr 'A-Z' 'a-z')
  extra=$(grep -v -x -E 'kernel32.dll|user32.dll|msvcrt.dll|advapi32.dll|kvarn_rcvr.dll' <<<"$dlls" || true)
  [ -z "$extra" ] && ok "$exe imports only system DLLs and the library" || bad "$exe imports $extra"
done
names=$(i686-w64-mingw32-objdump -p "$w/kvarn-monitor.exe" 2>/dev/null | awk '/DLL Name: Kvarn_Rcvr.dll/{f=1;next} f && /^[[:space:]]*$/ {f=0} f && NF==3 && $1 ~ /^[0-9a-f]+$/ {print $NF}' | sort | tr '\n' ' ')
[ "$names" = "tlf_CloseComm tlf_GetMsg tlf_GetSysMsg tlf_InitComm " ] &&
  ok "kvarn-monitor.exe imports $names" || bad "kvarn-monitor.exe imports from Kvarn_Rcvr.dll: $names"

for lib in libKvarn_Rcvr.dll.a Kvarn_Rcvr.lib; do
  syms=$(i686-w64-mingw32-nm "$w/$lib" 2>/dev/null)
  for s in $def_symbols; do
    grep -q " T _$s\$" <<<"$syms" && grep -q " I __imp__$s\$" <<<"$syms" ||
      bad "$lib lacks _$s or __imp__$s"
  done
  ok "$lib has the stdcall symbols of all five exports"
done

# Link a program through each import library: it must import the plain
# export names from Kvarn_Rcvr.dll, and (under Wine) run.
cat >"$tmp/use.c" <<'C'
#include <stdio.h>
#include <string.h>
#include "kvarn_rcvr.h"
int main(void)
{
    int a = 0, b = 0, c = 0;
    unsigned int bits = 0;
    unsigned char line[8] = {7, ' ', ' ', ' ', 'A', ' ', '0', '3'}, marks[14];
    int info = 0;
    const char *name = Tlf_GetNameN4(&a, &b, &c);
    tlf_GetSysMsg(0, line, &bits, marks, &info);
    printf("%s %d %d %d info %d open0 %s\n", name, a, b, c, info, tlf_InitComm(0, 1) ? "channel" : "null");
    return strcmp(name, "Kvarn_Rcvr") != 0 || info != 16;
}
C
for lib in libKvarn_Rcvr.dll.a Kvarn_Rcvr.lib; do
  exe=$tmp/win/use-${lib%%.*}.exe
  if ! i686-w64-mingw32-gcc -Wall -Werror -I"$w/include" "$tmp/use.c" "$w/$lib" -o "$exe" 2>"$tmp/link.log"; then
    bad "link through $lib"; cat "$tmp/link.log"; continue
  fi
  names=$(i686-w64-mingw32-objdump -p "$exe" | awk '/DLL Name: Kvarn_Rcvr.dll/{f=1;next} f && /^[[:space:]]*$/ {f=0} f && NF==3 && $1 ~ /^[0-9a-f]+$/ {print $NF}' | sort | tr '\n' ' ')
  [ "$names" = "Tlf_GetNameN4 tlf_GetSysMsg tlf_InitComm " ] && ok "program linked through $lib imports $names" ||
    bad "program linked through $lib imports: $names"
done
if command -v wine >/dev/null; then
  source "$root/scripts/lib.sh"
  KVARN_WINEPREFIX=$tmp/wineprefix kvarn_wine_env
  cp "$w/Kvarn_Rcvr.dll" "$tmp/win/"
  for exe in "$tmp"/win/use-*.exe; do
    out=$(cd "$tmp/win" && wine "$exe" 2>&1 | tr -d '\r')
    grep -q '^Kvarn_Rcvr 65519 16 3 info 16 open0 null$' <<<"$out" && ok "$(basename "$exe") runs under Wine" ||
      bad "$(basename "$exe") under Wine: $out"
  done
  # Run from the bundle itself: the DLL beside it is all the monitor needs.
  out=$(cd "$w" && wine ./kvarn-monitor.exe --status <<<'   A 03' 2>&1 | tr -d '\r')
  grep -q '^"   A 03"  bits ' <<<"$out" && ok "kvarn-monitor.exe runs from the bundle under Wine" ||
    bad "kvarn-monitor.exe under Wine: $out"
  out=$(cd "$w" && wine ./kvarn-sim.exe --list-scenarios 2>&1 | tr -d '\r')
  grep -q '^demo: ' <<<"$out" && ok "kvarn-sim.exe runs under Wine" || bad "kvarn-sim.exe under Wine: $out"
  kvarn_wine_stop
else
  echo "skip running under Wine: not installed"
fi

# --- Linux tarball ----------------------------------------------------------
tar -C "$tmp" -xzf "$tarball"
l=$tmp/Kvarn_Rcvr-$version-linux-$(uname -m)
for f in lib/libKvarn_Rcvr.so include/kvarn_rcvr.h lib/cmake/Kvarn_Rcvr/Kvarn_RcvrConfig.cmake \
         lib/pkgconfig/kvarn_rcvr.pc share/doc/Kvarn_Rcvr/docs/protocol.md share/doc/Kvarn_Rcvr/examples/c/host.c; do
  [ -f "$l/$f" ] && ok "tarball has $f" || bad "tarball lacks $f"
done
exports=$(nm -D --defined-only "$l/lib/libKvarn_Rcvr.so" | awk '$2=="T"{print $3}' | sort | tr '\n' ' ')
[ "$exports" = "Tlf_GetNameN4 tlf_CloseComm tlf_GetMsg tlf_GetSysMsg tlf_InitComm " ] &&
  ok ".so exports exactly the five functions" || bad ".so exports: $exports"
mkdir -p "$tmp/mk" "$tmp/run"
if PKG_CONFIG_PATH=$l/lib/pkgconfig make -s -C "$tmp/mk" -f "$root/examples/c/Makefile" VPATH="$root/examples/c" \
     >"$tmp/mk.log" 2>&1; then
  out=$(cd "$tmp/run" && LD_LIBRARY_PATH=$l/lib "$tmp/mk/host" 0 1 2>&1)
  grep -q '^driver Kvarn_Rcvr' <<<"$out" && ok "pkg-config consumer of the tarball runs" || bad "consumer: $out"
else
  bad "pkg-config consumer of the tarball"; cat "$tmp/mk.log"
fi

echo
[ $failed -eq 0 ] && echo "release check: passed" || echo "release check: FAILED"
exit $failed
