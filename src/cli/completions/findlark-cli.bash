# bash completion for findlark-cli                                      -*- shell-script -*-

_findlark_cli() {
  local cur prev words cword
  _init_completion -n = || return

  local types=("Documents" "Pictures" "Music" "Video" "Webpages" "PDF Documents"
    "Spreadsheets" "Presentations" "Applications" "Folders" "Archives" "Source Code" "Other")
  local value="" option=""
  case $prev in
    -t | --type | -f | --format | --color | --html | -E | --exclude | -S | --size | --changed-within | \
      --changed-before | --threads) option=$prev value=$cur ;;
  esac
  if [[ -z $option && $cur == --*=* ]]; then
    option=${cur%%=*} value=${cur#*=}
  fi
  # What was typed of a value, without the quoting a name with a space needs.
  value=${value//\\/} value=${value//\"/} value=${value//\'/}

  case $option in
    -t | --type)
      local IFS=$'\n' name
      COMPREPLY=()
      for name in "${types[@]}"; do
        # Names are matched ignoring case, as the program matches them.
        [[ ${name,,} == "${value,,}"* ]] && COMPREPLY+=("$(printf '%q' "$name")")
      done
      return
      ;;
    -f | --format)
      COMPREPLY=($(compgen -W "tree paths tsv json" -- "$value"))
      return
      ;;
    --color)
      COMPREPLY=($(compgen -W "auto always never" -- "$value"))
      return
      ;;
    --html)
      cur=$value
      _filedir 'htm?(l)'
      return
      ;;
    -E | --exclude | -S | --size | --changed-within | --changed-before | --threads)
      COMPREPLY=()  # a pattern, a size, a time or a count: nothing to offer
      return
      ;;
  esac

  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "-c --contents --pdf -t --type -a --all-drives --network-mounts
      -E --exclude -S --size --changed-within --changed-before -w --word -x --one-file-system
      -f --format -0 --print0
      --html --color -q --quiet --threads -h --help -V --version" -- "$cur"))
    return
  fi

  # Which argument is this: TEXT, then FOLDERs.
  local i positional=0 ended=""
  for ((i = 1; i < cword; i++)); do
    if [[ -n $ended || ${words[i]} != -?* ]]; then
      ((positional++))
    elif [[ ${words[i]} == -- ]]; then
      ended=1
    elif [[ ${words[i]} == @(-t|--type|-f|--format|--color|--html|--threads) ]]; then
      ((i++))
    fi
  done
  ((positional >= 1)) && _filedir -d
} &&
  complete -F _findlark_cli findlark-cli

# ex: filetype=sh
