#!/usr/bin/env bash
# Runs findlark-cli's bash completion on command lines as bash would split them, and checks
# what it offers. Arguments: the completion script and findlark-cli.
set -u
completion=$1 cli=$2
# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion
# shellcheck disable=SC1090
source "$completion"

# Every type the program accepts, quoted as the shell needs, in the program's own words.
types=$("$cli" --type=none x 2>&1 | sed -n 's/.*the types are: //p' | sed 's/, /\n/g' |
  while IFS= read -r t; do printf '%q\n' "$t"; done | LC_ALL=C sort)
[[ $(wc -l <<<"$types") -eq 13 ]] || { echo "FAIL: cannot read the types from $cli"; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/alpha" "$scratch/alps"
touch "$scratch/alpine.txt"
cd "$scratch" || exit 1

# The offers for LINE, one a line, sorted. bash splits words at spaces and at "=".
offers() {
  local line=$1 spaced i
  spaced=${line//=/ = }
  spaced=${spaced//\\ /$'\1'}  # an escaped space stays inside its word
  read -r -a COMP_WORDS <<<"$spaced"
  for i in "${!COMP_WORDS[@]}"; do COMP_WORDS[i]=${COMP_WORDS[i]//$'\1'/\\ }; done
  [[ $line == *" " || $line == *= ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line COMP_POINT=${#line}
  COMPREPLY=()
  _findlark_cli findlark-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
  ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort
}

failed=0
expect() {
  local line=$1 want=$2 got
  got=$(offers "$line")
  if [[ $got != "$want" ]]; then
    printf 'FAIL: "%s"\n  offered: %s\n  wanted:  %s\n' "$line" "${got//$'\n'/ | }" "${want//$'\n'/ | }"
    failed=1
  fi
}

expect "findlark-cli --ty" "--type"
expect "findlark-cli --p" $'--pdf\n--print0'
expect "findlark-cli --type " "$types"
expect "findlark-cli --type=" "$types"
expect "findlark-cli -t so" 'Source\ Code'
expect "findlark-cli --type=pdf" 'PDF\ Documents'
expect "findlark-cli -t PDF\\ D" 'PDF\ Documents'
expect "findlark-cli -f t" $'tree\ntsv'
expect "findlark-cli --format=j" "json"
expect "findlark-cli --qu" "--quiet"
expect "findlark-cli --color=" $'always\nauto\nnever'
expect "findlark-cli -c needle al" $'alpha\nalps'
expect "findlark-cli --type Music needle al" $'alpha\nalps'
expect "findlark-cli -c al" ""
expect "findlark-cli needle alpha al" $'alpha\nalps'  # another FOLDER
exit $failed
