#!/usr/bin/env bash
# memcheck.sh BRANDSIM SOURCE_DIR: the sample delivery under valgrind's
# memcheck. A copy of examples/device is installed (answered Yes, with a
# package installer that runs, and a journal), then the sample delivery is
# linted. Any memory error or leak fails the test; without valgrind it is
# skipped (exit status 77).
set -u
brandsim=$1
source_dir=$2
if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind is not installed: skipped"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -a "$source_dir/examples/device" "$work/device"
printf '#!/bin/sh\nexit 0\n' > "$work/installer"
chmod +x "$work/installer"
memcheck=(valgrind --quiet --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect
          --errors-for-leak-kinds=definite,indirect --track-origins=yes --trace-children=no)

failed=0
if ! "${memcheck[@]}" "$brandsim" --device "$work/device" --answer yes \
       --installer "$work/installer" --journal "$work/journal.jsonl" inst > "$work/transcript"; then
  echo "memcheck: brandsim inst failed (status above, or errors reported by valgrind)"
  failed=1
fi
if ! grep -q '"event":"restart"' "$work/journal.jsonl" 2>/dev/null; then
  echo "memcheck: the run did not reach its restart"
  failed=1
fi
if ! "${memcheck[@]}" "$brandsim" lint "$source_dir/examples/device/fs/Temp/branding" > "$work/lint"; then
  echo "memcheck: brandsim lint failed"
  cat "$work/lint"
  failed=1
fi
if ((failed == 0)); then
  echo "memcheck: brandsim inst and lint ran clean"
fi
exit $failed
