#!/usr/bin/env bash
# The house style, checked: every C and C++ file as clang-format would write it (.clang-format),
# and no shellcheck warning in the project's shell scripts. Prints what is off and exits 1.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang-format shellcheck

status=0
mapfile -t sources < <(git ls-files -- '*.c' '*.cpp' '*.h')
if ! clang-format --dry-run --Werror "${sources[@]}"; then
  echo "Not in the house style: run clang-format -i on the files above." >&2
  status=1
fi

mapfile -t shells < <(git ls-files -- 'scripts/*.sh' 'packaging/*.sh' '.ci/run')
if ! shellcheck --severity=warning "${shells[@]}"; then
  echo "shellcheck found warnings in the scripts above." >&2
  status=1
fi
[ $status -eq 0 ] && echo "style: ${#sources[@]} C/C++ files formatted, ${#shells[@]} scripts without warnings"
exit $status
