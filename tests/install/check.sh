#!/usr/bin/env bash
# What a user gets from `cmake --install` and from the Debian package, checked
# from the outside in a throwaway folder. Usage:
#   check.sh package BUILD_DIR VERSION   cpack -G DEB, dpkg-deb -x, then the checks
#   check.sh destdir BUILD_DIR VERSION   cmake --install into a DESTDIR, then the checks
#   check.sh manpages PAGE...            each page renders with man -l without a warning
# Exit status 77 (skipped) when a tool the check needs is missing.
set -euo pipefail

mode=$1
shift
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
need() {
  command -v "$1" >/dev/null 2>&1 || { echo "SKIP: $1 is not installed" >&2; exit 77; }
}

# man's own warnings (groff -w, with tbl) on the page as man formats it for
# an 80-column terminal.
render_cleanly() {
  local page=$1 out err
  err=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) ||
    fail "man -l $page failed: $err"
  [[ -z $err ]] || fail "man -l $page warns: $err"
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>&1) || fail "man -l $page failed"
  [[ $out == *NAME* && $out == *"SEE ALSO"* ]] || fail "man -l $page shows no NAME and SEE ALSO: $out"
}

# The installed tree under ROOT with prefix PREFIX: the files where Debian
# users look, and the program, its man pages and completion working.
check_tree() {
  local root=$1 prefix=$2 version=$3
  local bin=$root$prefix/bin/brandsim share=$root$prefix/share
  local expected=(
    "$bin"
    "$share/man/man1/brandsim.1"
    "$share/man/man1/brandsim-lint.1"
    "$share/man/man5/brandsim-delivery.5"
    "$share/bash-completion/completions/brandsim"
    "$share/doc/brandsim/README.md"
    "$share/doc/brandsim/docs/delivery.md"
    "$share/doc/brandsim/tools/lint/README.md"
    "$share/doc/brandsim/examples/device/registry.reg"
    "$share/doc/brandsim/examples/device/fs/Temp/branding/brand.ini"
  )
  local path
  for path in "${expected[@]}"; do
    [[ -f $path ]] || fail "${path#"$root"} is not installed"
  done
  [[ -x $bin ]] || fail "${bin#"$root"} is not executable"

  local out
  out=$("$bin" --version) || fail "brandsim --version failed"
  [[ $out == "brandsim $version" ]] || fail "brandsim --version says '$out', the build is $version"
  out=$("$bin" lint --version) || fail "brandsim lint --version failed"
  [[ $out == "brandsim lint $version" ]] || fail "brandsim lint --version says '$out'"
  out=$("$bin" --help) || fail "brandsim --help failed"
  [[ $out == Usage:\ brandsim* ]] || fail "brandsim --help does not start with its usage: ${out:0:200}"
  out=$("$bin" -h) || fail "brandsim -h failed"
  [[ $out == Usage:\ brandsim* ]] || fail "brandsim -h does not show the help"

  # The installed program runs the installed sample on a copy.
  local scratch
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/brandsim-check.XXXXXX")
  cp -R "$share/doc/brandsim/examples/device" "$scratch/device"
  "$bin" --device "$scratch/device" --answer yes --quiet inst || fail "the sample run failed"
  [[ ! -e $scratch/device/fs/Temp/branding ]] || fail "the sample run left the staging folder"
  rm -rf "$scratch"

  if command -v man >/dev/null 2>&1; then
    for path in "$share"/man/man*/brandsim*; do render_cleanly "$path"; done
  fi

  # The completion, sourced as bash-completion sources it, completes with the
  # installed program.
  out=$(PATH="$(dirname "$bin"):$PATH" bash -c '
    source "$1"
    COMP_WORDS=(brandsim --answer ""); COMP_CWORD=2; _brandsim brandsim; echo "${COMPREPLY[*]}"
    COMP_WORDS=(brandsim lint --disable ini-utf); COMP_CWORD=3; _brandsim brandsim; echo "${COMPREPLY[*]}"
    COMP_WORDS=(brandsim lint --explain reg-esc); COMP_CWORD=3; _brandsim brandsim; echo "${COMPREPLY[*]}"
    COMP_WORDS=(brandsim lint --format ""); COMP_CWORD=3; _brandsim brandsim; echo "${COMPREPLY[*]}"
  ' _ "$share/bash-completion/completions/brandsim") || fail "the completion failed"
  [[ $out == $'yes no\nini-utf16 ini-utf8\nreg-escape\ntext json sarif' ]] || fail "the completion offers: $out"
}

case $mode in
  package)
    need cpack
    need dpkg-deb
    build=$1 version=$2
    work=$(mktemp -d "${TMPDIR:-/tmp}/brandsim-deb.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    (cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
      { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
    debs=("$work"/out/brandsim_*.deb)
    ((${#debs[@]} == 1)) && [[ -f ${debs[0]} ]] || fail "cpack made no brandsim_*.deb"
    deb=${debs[0]}
    [[ $(dpkg-deb -f "$deb" Package) == brandsim ]] || fail "the package is not named brandsim"
    [[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "the package's version is not $version"
    depends=$(dpkg-deb -f "$deb" Depends)
    names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//')
    for library in libc6 libstdc++6 libmspack0; do
      grep -qxF "$library" <<<"$names" || fail "Depends does not name $library: $depends"
    done
    # Everything under /usr, nothing of the build or the tests.
    stray=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v -e '^\./$' -e '^\./usr/' || true)
    [[ -z $stray ]] || fail "the package holds files outside /usr: $stray"
    dpkg-deb -x "$deb" "$work/root"
    check_tree "$work/root" /usr "$version"
    echo "ok: $(basename "$deb") (Depends: $depends)"
    ;;
  destdir)
    need cmake
    build=$1 version=$2
    work=$(mktemp -d "${TMPDIR:-/tmp}/brandsim-install.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    DESTDIR=$work/root cmake --install "$build" --prefix /opt/brandsim >"$work/install.log" 2>&1 ||
      { cat "$work/install.log" >&2; fail "cmake --install failed"; }
    check_tree "$work/root" /opt/brandsim "$version"
    echo "ok: cmake --install into DESTDIR"
    ;;
  manpages)
    need man
    for page in "$@"; do render_cleanly "$page"; done
    echo "ok: $# pages render without warnings"
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac
