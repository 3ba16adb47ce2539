# bash completion for helmet-update. Every command and option of the program is named here (the test
# completions_name_every_option compares them with the program's --help).
_helmet_update() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    --lang) mapfile -t COMPREPLY < <(compgen -W 'de fr it es en' -- "$cur"); return ;;
    --trace | --capture) mapfile -t COMPREPLY < <(compgen -f -- "$cur"); return ;;
    --unit)
      # The device paths of the units connected now.
      mapfile -t COMPREPLY < <(compgen -W "$(helmet-update list 2>/dev/null | cut -d' ' -f1)" -- "$cur")
      return ;;
  esac
  local command="" word
  for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
    case $word in list|info|update|replay) command=$word ;; esac
  done
  local options='--help -h --version --lang --trace --verbose --json --demo'
  case $command in
    "") options+=' --unit --all --watch --quiet --yes -y --capture' ;;
    info) options+=' --unit --capture' ;;
    update) options+=' --unit --all --watch --quiet --yes -y --capture' ;;
    replay) options+=' --quiet' ;;
  esac
  if [[ $command == replay && $cur != -* ]]; then
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")  # the capture to play back
  elif [[ $cur == -* || -n $command ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -W 'list info update replay' -- "$cur")
  fi
}
complete -F _helmet_update helmet-update
