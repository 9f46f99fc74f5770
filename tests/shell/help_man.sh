#!/usr/bin/env bash
# A program's --help (each command's too, for tagconf) and its manual page
# list the same options.
# Usage: help_man.sh PROGRAM MAN_PAGE [COMMAND...]
set -uo pipefail
program=$1 page=$2
shift 2

# The names of the option rows of --help: "-f, --file FILE", "-t,--timeout
# SECONDS" (CLI11) or "--config.file=FILE", one name a line.
help_names() {
  sed -nE 's/^ +((-[A-Za-z], ?)?--?[A-Za-z][a-z0-9.-]*).*/\1/p' | tr ',' '\n' | tr -d ' '
}

# The names of the manual page's option items: ".It Fl f , -file Ar file",
# ".It Fl Fl config.file Ns = Ns Ar file", ".It Fl h , Fl Fl help".
man_names() {
  sed -nE '/^\.It Fl /{ s/^\.It //; s/Fl Fl /--/g; s/Fl /-/g; s/ , -([A-Za-z])/ --\1/g; s/ , / /g; s/ (Ar|Ns|Op|Oo|Cm) .*//; p; }' "$page" |
    tr ' ' '\n'
}

help=$( { "$program" --help; for command in "$@"; do "$program" "$command" --help; done; } | help_names | sort -u)
man=$(man_names | sort -u)
# Two empty lists agree too: a help or page whose layout the readers above
# no longer know must fail, not pass.
if [[ -z $help || -z $man ]]; then
  echo "FAIL: no options read from $(basename "$program") --help or $(basename "$page")"
  exit 1
fi
if [[ $help != "$man" ]]; then
  echo "FAIL: $(basename "$program") --help and $(basename "$page") list different options (< help, > page):"
  diff <(echo "$help") <(echo "$man")
  exit 1
fi
echo "$(basename "$program"): $(wc -l <<< "$help") options in both"
