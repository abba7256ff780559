# Shared by scripts/demo and scripts/test; sourced, not run.

# The repository's root, whatever the current folder.
BRANDINST_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Installs packages with apt-get, only those that are missing. Arguments:
# the packages, each optionally as PACKAGE:COMMAND to test for COMMAND on the
# PATH instead of the package's status.
brandinst_ensure_packages() {
  local missing=() item package command
  for item in "$@"; do
    package=${item%%:*}
    command=${item#*:}
    if [[ $item == *:* ]]; then
      command -v "$command" >/dev/null 2>&1 || missing+=("$package")
    elif ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  brandinst_install "${missing[@]}"
}

# Installs the build's needs with apt-get, only those that are missing.
# dpkg-dev's dpkg-shlibdeps names the Debian package's runtime dependencies;
# python3-jsonschema validates the linter's SARIF logs in its tests.
brandinst_ensure_build_tools() {
  brandinst_ensure_packages cmake:cmake ninja-build:ninja g++:g++ pkgconf:pkg-config \
    libgtest-dev libbenchmark-dev libmspack-dev zlib1g-dev dpkg-dev:dpkg-shlibdeps \
    python3-jsonschema
}

# The fuzz targets need clang and its libFuzzer runtime.
brandinst_ensure_fuzz_tools() {
  brandinst_ensure_packages clang:clang++ libclang-rt-dev
}

# The tests of the Windows program run it under Wine in a virtual X server,
# answer its dialogs with xdotool, and build it with mingw-w64. Wine needs its
# recommended packages (fonts and the libraries it loads), so these are
# installed with recommends. A machine without them reports those tests as
# skipped.
brandinst_ensure_wine_tools() {
  BRANDINST_APT_RECOMMENDS=1 brandinst_ensure_packages \
    python3:python3 g++-mingw-w64-x86-64:x86_64-w64-mingw32-g++ \
    g++-mingw-w64-i686:i686-w64-mingw32-g++ wine wine64 xvfb xauth xdotool
}

# The 32-bit program runs under Debian's 32-bit Wine (wine32:i386, beside
# wine64). Only where the kernel starts 32-bit programs: elsewhere wine32
# could not run, and installed it would only make Debian's `wine` pick a
# loader that fails. Without it the 32-bit Wine tests report as skipped.
brandinst_ensure_wine32() {
  if ! python3 "$BRANDINST_ROOT/tests/wine/wine_test.py" runs-32bit; then
    echo "brandinst: this machine's kernel does not start 32-bit programs: wine32 is not installed" >&2
    return 1
  fi
  if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    return 0
  fi
  local sudo=()
  ((EUID != 0)) && sudo=(sudo)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386 || return 1
  fi
  BRANDINST_APT_RECOMMENDS=1 brandinst_install wine32:i386
}

# The run report's test renders the page in Debian's headless Chromium. A
# machine without it reports that test as skipped.
brandinst_ensure_browser() {
  brandinst_ensure_packages chromium:chromium
}

# apt-get install of the given packages (nothing when none is given).
brandinst_install() {
  local missing=("$@")
  if ((${#missing[@]} == 0)); then
    return 0
  fi

  local sudo=()
  if ((EUID != 0)); then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "brandinst: missing ${missing[*]}; install them as root (apt-get install ${missing[*]})" >&2
      return 1
    fi
    sudo=(sudo)
  fi
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "brandinst: missing ${missing[*]}, and apt-get is not here to install them" >&2
    return 1
  fi
  echo "brandinst: installing ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
  local recommends=(--no-install-recommends)
  [[ -n ${BRANDINST_APT_RECOMMENDS:-} ]] && recommends=()
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y "${recommends[@]}" "${missing[@]}"
}
