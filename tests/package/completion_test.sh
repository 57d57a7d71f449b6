#!/usr/bin/env bash
# The bash completion of zelctl, as bash runs it: COMP_WORDS and COMP_CWORD set as for a <TAB>
# at the end of a command line, COMPREPLY compared with what zelctl itself accepts.
# Usage: completion_test.sh COMPLETION_FILE ZELCTL
set -euo pipefail
completion=$(realpath "$1")
zelctl=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
touch cal.json plan.csv

# shellcheck disable=SC1090
source "$completion"
func=$(complete -p zelctl | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
[ -n "$func" ] || { echo "no completion function registered for zelctl"; exit 1; }

failures=0
# check "LINE" "EXPECTED": LINE is typed up to the cursor (a trailing space starts an empty word);
# EXPECTED is the sorted candidates, space-separated.
check() {
  local line=$1 want=$2 got
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  "$func" zelctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//')
  if [ "$got" != "$want" ]; then
    echo "FAIL '$line<TAB>': got '$got', want '$want'"
    failures=$((failures + 1))
  fi
}

# Subcommands, top level and nested, filtered by what is typed.
check "zelctl vo" "voa"
check "zelctl voa " "get set sweep"
check "zelctl switch mems s" "set"
check "zelctl switch " "$(printf '%s\n' 2x2 lbmm mems | sort | tr '\n' ' ' | sed 's/ $//')"
# Every subcommand of the top-level help page, and nothing else.
top=$("$zelctl" --help | sed -n '/^Subcommands:/,/^$/p' | sed -n 's/^  \([^ ][^ ]*\).*/\1/p' | sort | tr '\n' ' ' |
      sed 's/ $//')
[ -n "$top" ] || { echo "zelctl --help lists no subcommands"; exit 1; }
check "zelctl " "$top"

# Option values are skipped when finding the subcommand, and get no subcommand names themselves.
check "zelctl --unit 127.0.0.1 --timeout 300 vo" "voa"
check "zelctl --unit " ""
check "zelctl voa set -c " ""
check "zelctl voa set -c 1 " ""
# Options of the command and of the commands it belongs to (they fall through).
check "zelctl voa set --c" "--capture --channel --code"
check "zelctl voa get -c 1 --j" "--jobs --json"
check "zelctl --t" "--timeout --trace"
check "zelctl --l" "--log"
check "zelctl --log c" "cal.json"
# Choices of a positional, and file names where a command takes a file.
check "zelctl calib get v" "voa voa_loss"
check "zelctl calib get --wavelength 1550 -c 2 user_" "user_rx user_tx"
check "zelctl calib backup c" "cal.json"
check "zelctl clock-plan --output p" "plan.csv"

# What the completion offers, zelctl takes: an option after the subcommand reaches the parent.
"$zelctl" voa get --json --help >/dev/null || { echo "zelctl voa get --json --help was refused"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] || { echo "$failures completion checks failed"; exit 1; }
echo "completion checks passed"
