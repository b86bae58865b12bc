#!/usr/bin/env bash
# The job of kvr_sign done with the openssl command-line tool, as a user would script it; the
# benchmark times it against kvr_sign.
#
#   bench/openssl-script-sign.sh <list file> <key entry>.module
#
# One fresh P-384 key per run. For every "<in>;<out>" line of the list file: the SHA-384
# digest of block 0 (the first 4096 bytes), a signature of that digest, its verification, and
# a copy of the image with r and s stored big-endian, right-aligned in the 48-byte fields at
# offsets 4112 and 4160. Then the 256-byte key entry with the public key's X and Y.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 <list file> <key entry>.module" >&2
    exit 2
fi
list_file=$1
key_entry=$2
readonly block0_size=4096
readonly rs_offset=4112
readonly field_hex_digits=96 # 48 bytes

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Left-pads a hex number to one 48-byte field (dropping a leading sign byte of 00).
field_hex() {
    local hex=$1
    while [ ${#hex} -lt $field_hex_digits ]; do hex=0$hex; done
    printf '%s' "${hex: -$field_hex_digits}"
}

# Writes hex digits as bytes.
write_hex() {
    local hex=$1 escaped="" i
    for ((i = 0; i < ${#hex}; i += 2)); do escaped+="\\x${hex:i:2}"; done
    printf "$escaped"
}

# One 32-bit little-endian word.
write_word() {
    write_hex "$(printf '%02x%02x%02x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) \
        $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"
}

sign_one() {
    local input=$1 output=$2 r s
    head -c $block0_size "$input" | openssl dgst -sha384 -binary >"$work/digest"
    openssl pkeyutl -sign -inkey "$work/key.pem" -in "$work/digest" -out "$work/signature.der"
    openssl pkeyutl -verify -pubin -inkey "$work/public.pem" -in "$work/digest" \
        -sigfile "$work/signature.der" >/dev/null
    read -r r s < <(openssl asn1parse -inform DER -in "$work/signature.der" |
        awk -F: '/INTEGER/ { printf "%s ", $NF } END { print "" }')
    {
        head -c $rs_offset "$input"
        write_hex "$(field_hex "$r")$(field_hex "$s")"
    } >"$output"
}

write_key_entry() {
    local point
    point=$(openssl ec -in "$work/key.pem" -text -noout 2>/dev/null |
        awk '/^pub:/ { on = 1; next } /^[A-Za-z]/ { on = 0 } on { gsub(/[ :]/, ""); printf "%s", $0 }')
    point=${point#04} # uncompressed point: 04 | X | Y
    {
        write_word 0x92540917; write_word 256; write_word 120; write_word 112
        write_word 0; write_word 0
        write_word 0x58700660; write_word 48; write_word 48; write_word 0x54326648
        write_word 1; write_word 0xFFFFFFFF
        write_hex "${point:0:$field_hex_digits}${point:$field_hex_digits:$field_hex_digits}"
        write_word 0x74881520; write_word 48; write_word 48; write_word 0x30548820
        write_hex "$(printf '%0192d' 0)"
    } >"$key_entry"
}

openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out "$work/key.pem" 2>/dev/null
openssl pkey -in "$work/key.pem" -pubout -out "$work/public.pem"
while IFS= read -r line || [ -n "$line" ]; do
    line=${line%%#*}
    [ -z "${line//[[:space:]]/}" ] && continue
    read -r input <<<"${line%%;*}" # read trims the white space around each path
    read -r output <<<"${line#*;}"
    sign_one "$input" "$output"
done <"$list_file"
write_key_entry
