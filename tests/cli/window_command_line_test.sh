#!/usr/bin/env bash
# findlark's own options work with no display at all, and leave the settings alone.
# Arguments: findlark, and its version.
set -u
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
failed=0
# arguments|exit status|the start of stdout, or of stderr when the status is not 0
while IFS='|' read -r args want first; do
  # shellcheck disable=SC2086  # the arguments are split on purpose
  out=$(env -i PATH=/usr/bin:/bin HOME="$scratch" "$1" $args 2>"$scratch/err")
  got=$?
  [[ $want == 0 ]] || out=$(cat "$scratch/err")
  [[ $got == "$want" && ${out%%$'\n'*} == "${first/VERSION/$2}" ]] || { printf 'FAIL: findlark %s: status %s, said: %s\n' "$args" "$got" "$out"; failed=1; }
done <<'TABLE'
--help|0|Usage: findlark [-h | --help] [-V | --version] [QT-OPTION...]
-h -platform xcb|0|Usage: findlark [-h | --help] [-V | --version] [QT-OPTION...]
--version|0|findlark VERSION
--bogus --help|0|Usage: findlark [-h | --help] [-V | --version] [QT-OPTION...]
--bogus|2|findlark: unrecognized option '--bogus'
/tmp|2|findlark: unexpected argument '/tmp'
-style|2|findlark: option '-style' needs a value
TABLE
[[ $(ls -A) == err ]] || { echo "FAIL: left files: $(ls -A)"; failed=1; }
exit $failed
