#!/usr/bin/env bash
# Completes command lines through the completion script, as bash does on Tab.
#   check_completion.sh <completion script>
set -euo pipefail
export LC_ALL=C
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
check "--cancel --fingerprint --help --json --key-sha256 --permission --version " kvr_verify --
check "" kvr_sign --permission ""

# Quoted pairs: the input half ends in its ";" with the quote left open (readline closes it
# after a single match, so the pairs it begins are offered beside it), then the output half,
# a folder in it with its "/".
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
cd "$folder"
mkdir out
touch in.module out/x.module notes.txt other.bin
check "in.module; in.module;in.module in.module;out " kvr_sign "'in"
check "in.module;in.module " kvr_sign "'in.module;i"
check "in.module;out/ in.module;out/x.module " kvr_sign "\"in.module;o"
check "in.module " kvr_verify "i"
check "notes.txt " kvr_sign "'no"
