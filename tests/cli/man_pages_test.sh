#!/usr/bin/env bash
# The manual pages render without warnings, have the sections people look for, and
# findlark-cli(1) documents every option its --help shows.
# Arguments: findlark-cli, then the pages.
set -u
cli=$1 failed=0
fail() { printf 'FAIL: %s\n' "$*"; failed=1; }
# Each option of --help, as the page must show it.
options=$("$cli" --help | grep -oE -- '(^| )--?[a-zA-Z0-9][a-zA-Z0-9-]*' | tr -d ' ' | sort -u)
[[ $(wc -l <<<"$options") -ge 10 ]] || fail "cannot read the options from --help"
version=$("$cli" --version)
for page in "${@:2}"; do
  [[ -n $page ]] || continue
  name=$(basename "$page")
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "$name renders with warnings: $warnings"
  text=$(MANWIDTH=80 MAN_KEEP_FORMATTING= man -l "$page" 2>/dev/null | col -b)
  for section in NAME SYNOPSIS DESCRIPTION EXAMPLES "EXIT STATUS" FILES; do
    grep -qx "$section" <<<"$text" || fail "$name has no $section section"
  done
  grep -q settings.ini <<<"$text" || fail "$name does not name settings.ini"
  [[ $name == findlark-cli.* ]] || continue
  for option in $options "${version#findlark-cli }"; do
    grep -qF -- "$option" <<<"$text" || fail "$name does not show $option"
  done
done
exit $failed
