#!/usr/bin/env bash
# Walks zelctl's command tree through the --help page of every command and writes
#   completion  the bash completion of zelctl (subcommands, options, option values, positionals)
#   man         a help2man include file: a COMMANDS section with the help page of every command
# Usage: zelctl-help-tree.sh completion|man ZELCTL [OUTPUT]   (standard output without OUTPUT)
# Run at build time from the built program, so that neither output can fall behind the commands.
set -euo pipefail
mode=$1
zelctl=$2
if [ $# -ge 3 ]; then
  # Written whole or not at all: a failed walk must not leave a half file for the build to install.
  "$0" "$mode" "$zelctl" >"$3.tmp"
  mv "$3.tmp" "$3"
  exit 0
fi
# Called by its bare name, CLI11 writes "Usage: zelctl ..." rather than the build path.
PATH="$(cd "$(dirname "$zelctl")" && pwd):$PATH"
prog=$(basename "$zelctl")

# One help page as records, one a line:
#   S name                  a subcommand
#   O names valued choices file   an option; names joined by ',', valued 0/1, choices joined by ','
#   P name choices file     a positional
# (an empty field is written as '-').
parse() {
  awk '
    function flush() {
      if (kind == "") return
      valued = 0; choices = "-"; file = 0
      names = tok[1]; type = tok[2]
      if (kind == "P" || (type ~ /^[A-Z][A-Z0-9_]*([:=].*)?$/ && type != "REQUIRED")) valued = 1
      if (match(type, /\{[^}]*\}/)) choices = substr(type, RSTART + 1, RLENGTH - 2)
      # A value that names a file: a file validator, or text described as a file.
      if (valued && (type ~ /FILE|PATH/ || (type ~ /^TEXT/ && (tolower(desc) ~ /file/ || names == "file")))) file = 1
      if (kind == "S") print "S", names
      else if (kind == "O") print "O", names, valued, choices, file
      else if (valued) print "P", names, choices, file
      kind = ""
    }
    /^[A-Za-z][A-Za-z ]*:$/ { flush(); section = $0; next }
    /^  [^ ]/ {
      flush()
      line = substr($0, 3)
      split_at = match(line, /  +/)
      sig = split_at ? substr(line, 1, split_at - 1) : line
      desc = split_at ? substr(line, split_at) : ""
      n = split(sig, tok, " ")
      if (tok[1] ~ /^-/) kind = "O"
      else if (section == "Subcommands:") kind = "S"
      else if (section == "Positionals:") kind = "P"
      else kind = ""
      next
    }
    /^    / { desc = desc " " $0; next }
    { flush() }
    END { flush() }
  '
}

# Every command path, depth first, the top level ("") first.
paths=()
walk() {
  local path=$1 sub
  paths+=("$path")
  # shellcheck disable=SC2086
  for sub in $("$prog" $path --help | parse | awk '$1 == "S" { print $2 }'); do
    walk "${path:+$path }$sub"
  done
}
walk ""

completion() {
  local path records subs opts vals name rest
  local -A node_opts node_vals
  cat <<'EOF'
# bash completion of zelctl: subcommands, options and their values.
# Generated from zelctl's help pages when zelctl is built; not to be edited.

# Sets subs (subcommands), opts (options, those of the enclosing commands included) and vals
# (options that take a value) of the command path $1.
_zelctl_node() {
  case "$1" in
EOF
  local arg_cases=""
  for path in "${paths[@]}"; do
    # shellcheck disable=SC2086
    records=$("$prog" $path --help | parse)
    subs=$(awk '$1 == "S" { printf "%s ", $2 }' <<<"$records")
    # Options of the enclosing command hold here too (zelctl's commands fall through to their parent).
    local parent=${path% *}
    [ "$parent" = "$path" ] && parent=""
    opts="${node_opts[k$parent]:-}" vals="${node_vals[k$parent]:-}"
    [ -z "$path" ] && opts="" vals=""
    while read -r kind name rest; do
      case $kind in
        O)
          read -r valued choices file <<<"$rest"
          for n in ${name//,/ }; do
            case " $opts " in *" $n "*) ;; *) opts+="$n " ;; esac
            if [ "$valued" = 1 ]; then
              case " $vals " in *" $n "*) ;; *) vals+="$n " ;; esac
              if [ "$file" = 1 ]; then
                arg_cases+="    '$path|$n') kind=file ;;"$'\n'
              elif [ "$choices" != - ]; then
                arg_cases+="    '$path|$n') kind=words words='${choices//,/ }' ;;"$'\n'
              fi
            fi
          done
          ;;
      esac
    done <<<"$records"
    local index=0
    while read -r kind name choices file; do
      [ "$kind" = P ] || continue
      if [ "$file" = 1 ]; then
        arg_cases+="    '$path|#$index') kind=file ;;"$'\n'
      elif [ "$choices" != - ]; then
        arg_cases+="    '$path|#$index') kind=words words='${choices//,/ }' ;;"$'\n'
      fi
      index=$((index + 1))
    done <<<"$records"
    node_opts[k$path]=$opts
    node_vals[k$path]=$vals
    printf "    '%s') subs='%s' opts='%s' vals='%s' ;;\n" "$path" "${subs% }" "${opts% }" "${vals% }"
  done
  cat <<EOF
    *) subs='' opts='' vals='' ;;
  esac
}

# Sets kind (file, words or none) and words for the value of option \$2, or for the positional
# #N when \$2 is #N, of the command path \$1.
_zelctl_arg() {
  words=''
  case "\$1|\$2" in
${arg_cases}    *) kind=none ;;
  esac
}
EOF
  cat <<'EOF'

_zelctl() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local path='' pos=0 valopt='' i w subs opts vals kind words
  for ((i = 1; i < COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
    _zelctl_node "$path"
    case $w in
      --*=*) ;;
      -*)
        if [[ " $vals " == *" $w "* ]]; then
          if ((i + 1 == COMP_CWORD)); then valopt=$w; fi
          i=$((i + 1))
        fi
        ;;
      *)
        if [[ " $subs " == *" $w "* ]]; then
          path=${path:+$path }$w
          pos=0
        else
          pos=$((pos + 1))
        fi
        ;;
    esac
  done
  _zelctl_node "$path"
  COMPREPLY=()
  if [[ -n $valopt ]]; then
    # The option may belong to an enclosing command: look it up there too.
    local owner=$path
    while _zelctl_arg "$owner" "$valopt"; [[ $kind == none && -n $owner ]]; do
      [[ $owner == *" "* ]] && owner=${owner% *} || owner=''
    done
  elif [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$opts" -- "$cur")
    return 0
  elif [[ -n $subs ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$subs" -- "$cur")
    return 0
  else
    _zelctl_arg "$path" "#$pos"
  fi
  case $kind in
    file)
      compopt -o filenames 2>/dev/null || true
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      ;;
    words) mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur") ;;
  esac
  return 0
}
complete -F _zelctl zelctl
EOF
}

# roff-safe text: backslashes escaped, lines that roff would read as requests protected.
roff_text() { sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\&\\1/"; }

man_include() {
  local path
  echo "[COMMANDS]"
  printf '%s\n' 'Every command takes the options of the commands it belongs to (\fB--unit\fR, \fB--json\fR, ...).'
  for path in "${paths[@]}"; do
    [ -n "$path" ] || continue
    echo ".SS \"$prog $path\""
    echo ".nf"
    # shellcheck disable=SC2086
    "$prog" $path --help | grep -v '^Exit codes:' | roff_text
    echo ".fi"
  done
}

case $mode in
  completion) completion ;;
  man) man_include ;;
  *) echo "usage: $0 completion|man ZELCTL" >&2; exit 2 ;;
esac
