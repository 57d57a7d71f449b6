#!/bin/sh
# A program's man page from its --help and --version, gzip'd as Debian installs man pages.
# Usage: make-man-page.sh PROGRAM OUTPUT.1.gz "ONE-LINE DESCRIPTION" SOURCE [INCLUDE]
set -eu
program=$1 out=$2 description=$3 source=$4 include=${5:-}
# Called by its bare name, the program's usage line says "prog", not the build path.
PATH="$(cd "$(dirname "$program")" && pwd):$PATH"
export PATH
page=${out%.gz}
help2man --no-info --section=1 --source="$source" --name="$description" ${include:+--include="$include"} \
  --output="$page.tmp" "$(basename "$program")"
mv "$page.tmp" "$page"
gzip -9nf "$page"
