#!/usr/bin/env bash
# zsh's completion parses; fish's offers the types, formats and folders.
# Arguments: the zsh completion, the fish completion.
set -u
fish_completion=$(realpath "$2")
zsh -n "$1" || { echo "FAIL: $1 does not parse"; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/alpha" && touch "$scratch/alpine.txt" && cd "$scratch" || exit 1
failed=0
# command line | an offer it must make, or, after "!", an offer it must not make
while IFS='|' read -r line want; do
  got=$(fish -c "source $(printf '%q' "$fish_completion"); complete -C '$line'" | cut -f1)
  if [[ $want == !* ]]; then ! grep -qF -- "${want#!}" <<<"$got"; else grep -qxF -- "$want" <<<"$got"; fi ||
    { printf 'FAIL: "%s" %s: %s\n' "$line" "$want" "$got"; failed=1; }
done <<'TABLE'
findlark-cli --type |PDF Documents
findlark-cli -t So|Source Code
findlark-cli --format=|--format=json
findlark-cli --col|--color
findlark-cli needle al|alpha/
findlark-cli needle alpha al|alpha/
findlark-cli needle al|!alpine
TABLE
exit $failed
