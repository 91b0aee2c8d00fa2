# Shared by the scripts: package installation and the Wine environment.
# Sourced, not run.

KVARN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Installs the Debian packages that are missing (as root; sudo otherwise).
kvarn_ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "== installing: ${missing[*]}"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq || echo "== apt-get update reported errors; trying the install anyway"
  local install=($sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends)
  "${install[@]}" "${missing[@]}" >/dev/null && return 0
  # A mirror part-way through a sync can serve the security suite's index for
  # one architecture only; i386 and amd64 copies of a library must then come
  # from the release's own suite, which both architectures' indexes agree on.
  local suite
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$suite" ] || return 1
  echo "== install failed; retrying with packages from $suite itself"
  "${install[@]}" -t "$suite" "${missing[@]}" >/dev/null
}

# make: the install check builds examples/c/Makefile, the pkg-config consumer.
KVARN_NATIVE_PACKAGES=(cmake ninja-build make g++ pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 mono-mcs)
KVARN_WIN32_PACKAGES=(g++-mingw-w64-i686-posix mingw-w64-tools wine wine32:i386)
# scripts/release clones the tree with git, zips the Windows bundle, and its
# check unzips it and reads the DLL with the MinGW objdump.
KVARN_RELEASE_PACKAGES=(git zip unzip binutils-mingw-w64-i686)
# clang's libFuzzer and sanitizer runtimes, for scripts/fuzz and the fuzz stage
# of scripts/test.
KVARN_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)
# The Debian packages (scripts/release, the deb check of scripts/test), the
# Pascal unit's compiler and the Python package's install.
KVARN_PACKAGING_PACKAGES=(dpkg-dev fakeroot file help2man lintian fp-compiler fp-units-rtl python3-pip)

# Configures directory $1 from this tree with Ninja and the cmake options up
# to "--", then builds the targets after it (everything when none). The
# output goes to $1.configure.log and $1.build.log; on a failure the whole
# configure log, or the build's errors, are printed and it returns 1.
kvarn_build() {
  local dir=$1 options=()
  shift
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    options+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift
  if ! cmake -S . -B "$dir" -G Ninja "${options[@]}" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"
    return 1
  fi
  if ! cmake --build "$dir" -j"$(nproc)" ${1:+--target "$@"} >"$dir.build.log" 2>&1; then
    grep -E -B2 -A12 'error|FAILED' "$dir.build.log" | head -n 80
    return 1
  fi
}

# A private Wine prefix with a running server, so test programs start fast and
# never touch the user's own prefix.
kvarn_wine_env() {
  export WINEPREFIX=${KVARN_WINEPREFIX:-$KVARN_ROOT/build-win32/wineprefix}
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win32
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== preparing Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
  fi
  wineserver -p >/dev/null 2>&1 || true
  wine cmd /c exit >/dev/null 2>&1 || true
}

kvarn_wine_stop() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1 || true
}
