#!/usr/bin/env bash
# zsh's completion parses; fish's offers the types, formats and folders.
# Arguments: the zsh completion, the fish completion.
set -u
fish_completion=$(realpath "$2")
zsh -n "$1" || { echo "FAIL: $1 does not parse"; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/alpha"
touch "$scratch/alpine.txt"
offers() { (cd "$scratch" && fish -c "source $(printf '%q' "$fish_completion"); complete -C '$1'" | cut -f1); }
failed=0
expect() {
  local got
  got=$(offers "$1")
  grep -qxF -- "$2" <<<"$got" || { printf 'FAIL: "%s" does not offer "%s": %s\n' "$1" "$2" "$got"; failed=1; }
}
expect "findlark-cli --type " "PDF Documents"
expect "findlark-cli -t So" "Source Code"
expect "findlark-cli --format=" "--format=json"
expect "findlark-cli --col" "--color"
expect "findlark-cli needle al" "alpha/"
expect "findlark-cli needle alpha al" "alpha/"
[[ $(offers "findlark-cli needle al") != *alpine* ]] || { echo "FAIL: a file offered for FOLDER"; failed=1; }
exit $failed
