# bash completion for brandsim: commands, options and option values.
#
# The options, the values an option takes (`--answer yes|no`, `--format
# text|json`) and what kind of argument it wants (a folder for DIR, else a
# file) are read from the program's own --help, and the codes that
# `lint --disable` and `lint --explain` take from `brandsim lint --list-codes`,
# so that this file follows the program it completes. It needs no bash-completion helpers.

# Prints "OPTION METAVAR" lines (METAVAR "-" for a flag) read off the help of
# "$@" (the program, and the command for lint and package). For a command,
# the bracketed forms of its usage line count too: `[--format text|json]`.
_brandsim_option_table() {
  local help line
  help=$("$@" --help 2>/dev/null) || return 0
  while IFS= read -r line; do
    if [[ $line =~ ^\ +(-[a-zA-Z],\ )?(--[a-z][a-z-]*)(\ [^\ ]+)?(\ |$) ]]; then
      local meta=${BASH_REMATCH[3]# }
      printf '%s %s\n' "${BASH_REMATCH[2]}" "${meta:--}"
    fi
  done <<<"$help"
  # A command's usage lines: `[--format text|json]`, `--list-codes | --help`.
  (($# > 1)) || return 0
  while IFS= read -r line; do
    [[ $line =~ ^([Uu]sage:|\ +brandsim\ ) ]] || continue
    while [[ $line =~ (--[a-z][a-z-]*)(\ ([^]\ ]+))? ]]; do
      local meta=${BASH_REMATCH[3]:--}
      [[ $meta == -* || $meta == "|" ]] && meta=-
      printf '%s %s\n' "${BASH_REMATCH[1]}" "$meta"
      line=${line#*"${BASH_REMATCH[0]}"}
    done
  done <<<"$help"
}

_brandsim() {
  local program=$1
  local words=("${COMP_WORDS[@]}") cword=$COMP_CWORD
  local cur=${words[cword]} prev=${words[cword - 1]:-} option=""
  COMPREPLY=()

  # COMP_WORDBREAKS splits `--format=js` into `--format`, `=` and `js`.
  if [[ $cur == "=" ]]; then
    option=$prev
    cur=""
  elif [[ $prev == "=" ]] && ((cword >= 2)); then
    option=${words[cword - 2]}
  fi

  local command=()
  if ((cword > 1)) && [[ ${words[1]} == lint || ${words[1]} == package ]]; then
    command=("${words[1]}")
  fi

  local table
  table=$(_brandsim_option_table "$program" "${command[@]}")
  # What an option expects: its METAVAR, or empty when it takes no value.
  _brandsim_meta() {
    local name meta result=""
    while read -r name meta; do
      [[ $name == "$1" && $meta != "-" ]] || continue
      if [[ -z $result ]]; then
        result=$meta
      elif [[ $meta != "$result" && $meta =~ ^[a-z] ]]; then
        result="$result|$meta"  # `--format text` and `--format json` lines
      fi
    done <<<"$table"
    printf '%s' "$result"
  }

  if [[ -z $option && $prev == --* && $cur != -* ]]; then
    [[ -n $(_brandsim_meta "$prev") || $prev == --disable || $prev == --explain ]] && option=$prev
  fi

  if [[ -n $option ]]; then
    local meta
    meta=$(_brandsim_meta "$option")
    if [[ $option == --disable || $option == --explain ]]; then
      # A code, or for --disable a comma-separated list: complete its last code.
      local done_part="" last=$cur
      if [[ $option == --disable && $cur == *,* ]]; then
        done_part=${cur%,*},
        last=${cur##*,}
      fi
      local code
      while IFS= read -r code; do
        [[ $code == "$last"* ]] && COMPREPLY+=("$done_part$code")
      done < <("$program" lint --list-codes 2>/dev/null)
    elif [[ $meta == *"|"* || $meta =~ ^[a-z]+$ ]]; then
      local IFS='|'
      local values=($meta)
      unset IFS
      COMPREPLY=($(compgen -W "${values[*]}" -- "$cur"))
    elif [[ $meta == DIR* ]]; then
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -d -- "$cur"))
    elif [[ -n $meta ]]; then
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -f -- "$cur"))
    fi
    return 0
  fi

  if [[ $cur == -* ]]; then
    local names
    names=$(while read -r name meta; do printf '%s\n' "$name"; done <<<"$table" | sort -u)
    COMPREPLY=($(compgen -W "$names" -- "$cur"))
    return 0
  fi

  case ${command[0]:-} in
    lint)
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -d -- "$cur"))
      ;;
    package)
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -f -- "$cur"))
      ;;
    *)
      # The first word may be a command; any word is the program's command
      # line, of which `inst` is the one that installs.
      if ((cword == 1)); then
        COMPREPLY=($(compgen -W "lint package inst" -- "$cur"))
      else
        COMPREPLY=($(compgen -W "inst" -- "$cur"))
      fi
      ;;
  esac
  return 0
}

complete -F _brandsim brandsim
