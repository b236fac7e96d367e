#!/usr/bin/env bash
# Runs findlark-cli's bash completion on command lines as bash would split them, and checks
# what it offers. Arguments: the completion script and findlark-cli.
set -u
# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion
# shellcheck disable=SC1090
source "$1"
# Every type the program accepts, quoted as the shell needs, in the program's own words.
types=$("$2" --type=none x 2>&1 | sed -n 's/.*the types are: //p' | sed 's/, /\n/g' |
  while IFS= read -r t; do printf '%q\n' "$t"; done | LC_ALL=C sort)
[[ $(wc -l <<<"$types") -eq 13 ]] || { echo "FAIL: cannot read the types from $2"; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/alpha" "$scratch/alps" && touch "$scratch/alpine.txt" && cd "$scratch" || exit 1
failed=0
# command line | what it offers, sorted, "|" between offers. bash splits words at spaces and at
# "="; an escaped space stays inside its word.
while IFS='|' read -r line want; do
  spaced=${line//=/ = }
  read -r -a COMP_WORDS <<<"${spaced//\\ /$'\1'}"
  for i in "${!COMP_WORDS[@]}"; do COMP_WORDS[i]=${COMP_WORDS[i]//$'\1'/\\ }; done
  [[ $line == *" " || $line == *= ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line} COMPREPLY=()
  _findlark_cli findlark-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
  got=$( ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd'|')
  [[ $got == "${want/TYPES/$(paste -sd'|' <<<"$types")}" ]] || { printf 'FAIL: "%s" offered: %s\n' "$line" "$got"; failed=1; }
done <<'TABLE'
findlark-cli --ty|--type
findlark-cli --p|--pdf|--print0
findlark-cli --type |TYPES
findlark-cli --type=|TYPES
findlark-cli -t so|Source\ Code
findlark-cli --type=pdf|PDF\ Documents
findlark-cli -t PDF\ D|PDF\ Documents
findlark-cli -f t|tree|tsv
findlark-cli --format=j|json
findlark-cli --qu|--quiet
findlark-cli --color=|always|auto|never
findlark-cli -c needle al|alpha|alps
findlark-cli --type Music needle al|alpha|alps
findlark-cli -c al|
findlark-cli needle alpha al|alpha|alps
TABLE
exit $failed
