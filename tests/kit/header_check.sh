#!/usr/bin/env bash
# The public header and the C example compile as strict C89 and as C++98 with
# every warning an error, natively and for 32-bit Windows (where the record's
# static layout checks and the stdcall declarations meet the MinGW compiler).
# Usage: header_check.sh SOURCE_DIR
set -euo pipefail
root=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cat >"$tmp/probe.c" <<'C'
#include "kvarn_rcvr.h"
/* Every function through a pointer of the documented calling convention. */
typedef TlfChannel (TLF_CALL *InitFn)(int, int);
typedef int (TLF_CALL *CloseFn)(TlfChannel);
typedef int (TLF_CALL *GetMsgFn)(TlfChannel, TlfMsg *);
typedef int (TLF_CALL *SysMsgFn)(int, const unsigned char *, unsigned int *, unsigned char *, int *);
typedef const char *(TLF_CALL *NameFn)(int *, int *, int *);
int probe(void);
int probe(void)
{
    InitFn i = tlf_InitComm;
    CloseFn c = tlf_CloseComm;
    GetMsgFn g = tlf_GetMsg;
    SysMsgFn s = tlf_GetSysMsg;
    NameFn n = Tlf_GetNameN4;
    return (i != 0) + (c != 0) + (g != 0) + (s != 0) + (n != 0);
}
C
strict=(-Wall -Wextra -Werror -pedantic-errors -I"$root/include")
failed=0
check() {
  local what=$1
  shift
  if "$@" 2>"$tmp/err"; then
    echo "ok   $what"
  else
    echo "FAIL $what"; cat "$tmp/err"; failed=1
  fi
}
check "header, gcc -std=c89" gcc -std=c89 "${strict[@]}" -c "$tmp/probe.c" -o "$tmp/p1.o"
check "header, g++ -std=c++98" g++ -x c++ -std=c++98 "${strict[@]}" -c "$tmp/probe.c" -o "$tmp/p2.o"
check "header, g++ -std=c++20" g++ -x c++ -std=c++20 "${strict[@]}" -c "$tmp/probe.c" -o "$tmp/p3.o"
check "examples/c/host.c, gcc -std=c89" gcc -std=c89 "${strict[@]}" -c "$root/examples/c/host.c" -o "$tmp/h1.o"
if command -v i686-w64-mingw32-gcc >/dev/null; then
  check "header, i686-w64-mingw32-gcc -std=c89" \
    i686-w64-mingw32-gcc -std=c89 "${strict[@]}" -c "$tmp/probe.c" -o "$tmp/p4.o"
  check "examples/c/host.c, i686-w64-mingw32-gcc -std=c89" \
    i686-w64-mingw32-gcc -std=c89 "${strict[@]}" -c "$root/examples/c/host.c" -o "$tmp/h2.o"
  # The stdcall decoration the .def and the import libraries rely on.
  syms=$(i686-w64-mingw32-nm "$tmp/h2.o")
  for s in _Tlf_GetNameN4@12 _tlf_InitComm@8 _tlf_GetMsg@8 _tlf_CloseComm@4; do
    if ! grep -q " U $s\$" <<<"$syms"; then echo "FAIL host.c does not reference $s"; failed=1; fi
  done
else
  echo "skip the Windows compiles: i686-w64-mingw32-gcc is not installed"
fi
exit $failed
