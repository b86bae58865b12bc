#!/usr/bin/env bash
# Completes option prefixes through the completion script, as bash does on Tab.
#   check_completion.sh <completion script>
set -euo pipefail
source "$1"
complete_line() {  # prints the candidates for the last word of the command line "$@"
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _kvr_complete "$1"
    ((${#COMPREPLY[@]} == 0)) || printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "
}
check() {
    local got
    got=$(complete_line "${@:2}")
    [[ $got == "$1" ]] || { echo "completing '${*:2}': got '$got', expected '$1'" >&2; exit 1; }
}
check "--permission --print_argument " kvr_sign --p
check "--cancel --fingerprint --help --json --key-sha256 --permission " kvr_verify --
check "" kvr_sign --permission ""
