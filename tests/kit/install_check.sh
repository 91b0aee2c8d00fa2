#!/usr/bin/env bash
# `cmake --install` lays out a package that consumers can build against with
# find_package and with pkg-config, also after the tree has been moved.
# Usage: install_check.sh BUILD_DIR SOURCE_DIR [SANITIZERS]
set -euo pipefail
build=$1
root=$2
sanitize=${3:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
flags=""
[ -n "$sanitize" ] && flags="-fsanitize=$sanitize"

cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log"
# Consumers must not depend on the prefix the files were installed to.
mv "$tmp/prefix" "$tmp/moved"
prefix=$tmp/moved
libdir=$(dirname "$(find "$prefix" -name libKvarn_Rcvr.so -print -quit)")

failed=0
expect() {
  if [ -e "$prefix/$1" ]; then echo "ok   $1"; else echo "FAIL missing $1"; failed=1; fi
}
expect include/kvarn_rcvr.h
expect "${libdir#$prefix/}/libKvarn_Rcvr.so"
expect "${libdir#$prefix/}/cmake/Kvarn_Rcvr/Kvarn_RcvrConfig.cmake"
expect "${libdir#$prefix/}/cmake/Kvarn_Rcvr/Kvarn_RcvrConfigVersion.cmake"
expect "${libdir#$prefix/}/pkgconfig/kvarn_rcvr.pc"
expect share/doc/Kvarn_Rcvr/docs/protocol.md
expect share/doc/Kvarn_Rcvr/examples/c/host.c
expect share/doc/Kvarn_Rcvr/bindings/python/src/kvarn_rcvr/__init__.py
expect share/doc/Kvarn_Rcvr/bindings/pascal/kvarnrcvr.pas
if find "$prefix" -name __pycache__ | grep -q .; then echo "FAIL __pycache__ installed"; failed=1; fi

# Runs a consumer in an empty directory: it must load the library, report the
# driver and fail to open Com0 with exit code 1.
run_consumer() {
  local what=$1 exe=$2 out rc=0
  mkdir -p "$tmp/run"
  out=$(cd "$tmp/run" && LD_LIBRARY_PATH=${LD_LIBRARY_PATH_EXTRA:-} "$exe" 0 1 2>&1) || rc=$?
  if [ $rc -eq 1 ] && grep -q '^driver Kvarn_Rcvr' <<<"$out" && grep -q 'cannot open Com0' <<<"$out"; then
    echo "ok   $what"
  else
    echo "FAIL $what (exit $rc)"; echo "$out"; failed=1
  fi
}

# find_package, exactly as examples/c/CMakeLists.txt shows it.
if cmake -S "$root/examples/c" -B "$tmp/fp" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
     -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$tmp/fp.log" 2>&1 &&
   cmake --build "$tmp/fp" >>"$tmp/fp.log" 2>&1; then
  run_consumer "find_package(Kvarn_Rcvr) consumer" "$tmp/fp/host"
else
  echo "FAIL find_package consumer build"; cat "$tmp/fp.log"; failed=1
fi

# A version the package does not satisfy is refused.
mkdir -p "$tmp/v2"
cat >"$tmp/v2/CMakeLists.txt" <<'C'
cmake_minimum_required(VERSION 3.16)
project(v2 NONE)
find_package(Kvarn_Rcvr 2 REQUIRED)
C
if cmake -S "$tmp/v2" -B "$tmp/v2/b" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1; then
  echo "FAIL find_package(Kvarn_Rcvr 2) accepted version 1"; failed=1
else
  echo "ok   find_package(Kvarn_Rcvr 2) refused"
fi

# pkg-config, exactly as examples/c/Makefile uses it.
export PKG_CONFIG_PATH=$libdir/pkgconfig
if [ "$(pkg-config --modversion kvarn_rcvr)" = "$(sed -nE 's/^project\(Kvarn_Rcvr VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")" ]; then
  echo "ok   pkg-config version"
else
  echo "FAIL pkg-config version $(pkg-config --modversion kvarn_rcvr)"; failed=1
fi
mkdir -p "$tmp/mk"
if make -C "$tmp/mk" -f "$root/examples/c/Makefile" VPATH="$root/examples/c" CC="cc $flags" \
     >"$tmp/pc.log" 2>&1; then
  LD_LIBRARY_PATH_EXTRA=$libdir run_consumer "pkg-config consumer (examples/c/Makefile)" "$tmp/mk/host"
else
  echo "FAIL pkg-config consumer build"; cat "$tmp/pc.log"; failed=1
fi
exit $failed
