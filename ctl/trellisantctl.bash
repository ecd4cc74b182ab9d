# bash completion for trellisantctl
_trellisantctl() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local commands="status sign-in sign-out folder enable pause test server bandwidth overnight battery verify --version --help"
  if [ "$COMP_CWORD" -eq 1 ]; then
    COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    return
  fi
  case "${COMP_WORDS[1]}" in
    status) [ "$COMP_CWORD" -eq 2 ] && COMPREPLY=($(compgen -W "--watch --json" -- "$cur")) ;;
    folder) [ "$COMP_CWORD" -eq 2 ] && COMPREPLY=($(compgen -d -- "$cur")) ;;
    enable) [ "$COMP_CWORD" -eq 2 ] && COMPREPLY=($(compgen -W "--linger" -- "$cur")) ;;
    battery) [ "$COMP_CWORD" -eq 2 ] && COMPREPLY=($(compgen -W "on off" -- "$cur")) ;;
    verify) COMPREPLY=($(compgen -d -- "$cur") $(compgen -W "--json" -- "$cur")) ;;
    overnight)
      case "$prev" in
        --from|--until) COMPREPLY=($(compgen -W "$(seq 0 23)" -- "$cur")) ;;
        *) if [ "$COMP_CWORD" -eq 2 ]; then COMPREPLY=($(compgen -W "on off" -- "$cur"))
           else COMPREPLY=($(compgen -W "--from --until" -- "$cur")); fi ;;
      esac ;;
  esac
}
complete -F _trellisantctl trellisantctl
