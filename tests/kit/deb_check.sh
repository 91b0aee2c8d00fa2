#!/usr/bin/env bash
# The Debian packages from scripts/release: lintian passes them (errors and
# warnings fail; the overrides they ship say why), their Depends come from
# dpkg-shlibdeps and tie them to one library version, and unpacked into an
# empty root with dpkg -x they hold the library with its soname link, the
# header, kvarn_rcvr.pc, the CMake package, the tools with man pages and the
# docs. The examples shipped in the -dev package then build with find_package
# and with pkg-config against that root alone, and run.
# Usage: tests/kit/deb_check.sh [DIST_DIR]   (default: run scripts/release)
set -uo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
ok() { echo "ok   $*"; }
bad() { echo "FAIL $*"; failed=1; }

dist=${1:-}
if [ -z "$dist" ]; then
  dist=$tmp/dist
  "$root/scripts/release" --out "$dist" >"$tmp/release.log" 2>&1 || { tail -n 40 "$tmp/release.log"; exit 1; }
fi
version=$(sed -nE 's/^project\(Kvarn_Rcvr VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=libkvarn-rcvr1 dev=libkvarn-rcvr-dev tools=kvarn-rcvr-tools
for p in $lib $dev $tools; do
  deb=$dist/${p}_$version-1_$arch.deb
  [ -f "$deb" ] && ok "$(basename "$deb")" || { bad "no $deb"; exit 1; }
  declare "deb_${p//-/_}=$deb"
done
debs=("$deb_libkvarn_rcvr1" "$deb_libkvarn_rcvr_dev" "$deb_kvarn_rcvr_tools")

# --- lintian -----------------------------------------------------------------
if command -v lintian >/dev/null; then
  # Overridden tags are shown with their reasons, but (being overridden) do
  # not fail the check.
  lintian --fail-on error,warning "${debs[@]}" >/dev/null 2>&1
  rc=$?
  lintian --show-overrides "${debs[@]}" 2>&1 | grep -v 'running with root privileges' | sed 's/^/     lintian: /'
  [ $rc -eq 0 ] && ok "lintian: no errors or warnings" || bad "lintian exit $rc"
else
  bad "lintian is not installed"
fi

# --- control fields ----------------------------------------------------------
field() { dpkg-deb -f "$1" "$2"; }
depends=$(field "$deb_libkvarn_rcvr1" Depends)
grep -q 'libc6 (>= ' <<<"$depends" && grep -q 'libstdc++6 (>= ' <<<"$depends" &&
  ok "$lib Depends: $depends" || bad "$lib Depends: $depends"
for p in $dev $tools; do
  d=$(field "$dist/${p}_$version-1_$arch.deb" Depends)
  grep -q "$lib (= $version-1)" <<<"$d" && ok "$p Depends: $d" || bad "$p Depends: $d"
done
grep -q 'libc6 (>= ' <<<"$(field "$deb_kvarn_rcvr_tools" Depends)" || bad "$tools lacks its libc6 dependency"
dpkg-deb --ctrl-tarfile "$deb_libkvarn_rcvr1" | tar -xO ./shlibs | grep -qx "libKvarn_Rcvr 1 $lib (>= $version-1)" &&
  ok "$lib shlibs" || bad "$lib shlibs"

# --- unpacked into an empty root ---------------------------------------------
r=$tmp/root
for deb in "${debs[@]}"; do dpkg -x "$deb" "$r"; done
libdir=$r/usr/lib/$multiarch
doc=$r/usr/share/doc/$dev
for f in usr/lib/$multiarch/libKvarn_Rcvr.so.1 usr/lib/$multiarch/libKvarn_Rcvr.so usr/include/kvarn_rcvr.h \
         usr/lib/$multiarch/pkgconfig/kvarn_rcvr.pc usr/lib/$multiarch/cmake/Kvarn_Rcvr/Kvarn_RcvrConfig.cmake \
         usr/bin/kvarn-sim usr/bin/kvarn-monitor usr/share/man/man1/kvarn-sim.1.gz usr/share/man/man1/kvarn-monitor.1.gz \
         usr/share/doc/$dev/docs/api.md usr/share/doc/$dev/examples/c/host.c \
         usr/share/doc/$dev/bindings/pascal/kvarnrcvr.pas usr/share/doc/$dev/bindings/python/pyproject.toml; do
  [ -e "$r/$f" ] && ok "has /$f" || bad "lacks /$f"
done
[ "$(readlink "$libdir/libKvarn_Rcvr.so")" = libKvarn_Rcvr.so.1 ] && ok "libKvarn_Rcvr.so -> libKvarn_Rcvr.so.1" ||
  bad "libKvarn_Rcvr.so -> $(readlink "$libdir/libKvarn_Rcvr.so")"
soname=$(readelf -d "$libdir/libKvarn_Rcvr.so.1" | sed -nE 's/.*SONAME.*\[(.*)\]/\1/p')
[ "$soname" = libKvarn_Rcvr.so.1 ] && ok "soname $soname" || bad "soname '$soname'"
for tool in kvarn-sim kvarn-monitor; do
  zcat "$r/usr/share/man/man1/$tool.1.gz" | grep -q "^\.TH \"\{0,1\}${tool^^}\"\{0,1\} \"\{0,1\}1" &&
    ok "$tool.1 is a section-1 page" || bad "$tool.1 header"
  LD_LIBRARY_PATH=$libdir "$r/usr/bin/$tool" --help 2>&1 | grep -q "^usage: $tool" &&
    ok "$tool --help runs" || bad "$tool --help"
done

# Runs a consumer in an empty directory against the root's library only: it
# must report the driver and fail to open Com0 with exit code 1.
run_consumer() {
  local what=$1 exe=$2 out rc=0
  mkdir -p "$tmp/run"
  ldd_lib=$(LD_LIBRARY_PATH=$libdir ldd "$exe" | awk '/libKvarn_Rcvr/ {print $1, $3}')
  out=$(cd "$tmp/run" && LD_LIBRARY_PATH=$libdir "$exe" 0 1 2>&1) || rc=$?
  if [ "$ldd_lib" = "libKvarn_Rcvr.so.1 $libdir/libKvarn_Rcvr.so.1" ] && [ $rc -eq 1 ] &&
     grep -q '^driver Kvarn_Rcvr' <<<"$out" && grep -q 'cannot open Com0' <<<"$out"; then
    echo "ok   $what: loads $ldd_lib, $(grep "^driver" <<<"$out")"
  else
    bad "$what (exit $rc, library $ldd_lib)"; echo "$out"
  fi
}

if cmake -S "$doc/examples/c" -B "$tmp/fp" -G Ninja -DCMAKE_PREFIX_PATH="$r/usr" >"$tmp/fp.log" 2>&1 &&
   cmake --build "$tmp/fp" >>"$tmp/fp.log" 2>&1; then
  grep -q "^Kvarn_Rcvr_DIR:PATH=$libdir/cmake/Kvarn_Rcvr$" "$tmp/fp/CMakeCache.txt" &&
    ok "find_package(Kvarn_Rcvr) found $libdir/cmake/Kvarn_Rcvr" || bad "find_package found $(grep Kvarn_Rcvr_DIR "$tmp/fp/CMakeCache.txt")"
  run_consumer "find_package consumer" "$tmp/fp/host"
else
  bad "find_package consumer build"; cat "$tmp/fp.log"
fi

export PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_LIBDIR=$libdir/pkgconfig
[ "$(pkg-config --modversion kvarn_rcvr)" = "$version" ] && ok "pkg-config kvarn_rcvr $version: $(pkg-config --cflags --libs kvarn_rcvr)" ||
  bad "pkg-config version $(pkg-config --modversion kvarn_rcvr)"
mkdir -p "$tmp/mk"
if make -s -C "$tmp/mk" -f "$doc/examples/c/Makefile" VPATH="$doc/examples/c" >"$tmp/mk.log" 2>&1; then
  run_consumer "pkg-config consumer" "$tmp/mk/host"
else
  bad "pkg-config consumer build"; cat "$tmp/mk.log"
fi

echo
[ $failed -eq 0 ] && echo "deb check: passed" || echo "deb check: FAILED"
exit $failed
