#!/usr/bin/env bash
# A set signed by the Linux kvr_sign verifies with the Windows kvr_verify.exe under Wine, in
# both invocation forms and as JSON with the same fingerprint; a changed byte fails there too.
# Then the other way: a set that kvr_sign.exe signs under Wine (a CRLF list, a non-ASCII name,
# "\" in paths, signed twice so that the second run replaces every file) verifies with the
# Linux kvr_verify, and nothing of the signer's own stays beside the outputs.
#   cross_verify.sh <Linux kvr_sign> <wine-run.sh> <kvr_verify.exe> <source dir> <work dir>
#                   <kvr_sign.exe> <Linux kvr_verify>
# Exit 77 (skipped) when the Linux programs have not been built.
set -euo pipefail
sign=$1 wine_run=$2 verify=$3 source_dir=$4 work=$5 windows_sign=$6 linux_verify=$7

for program in "$sign" "$linux_verify"; do
    if [[ ! -x $program ]]; then
        echo "no Linux program $program: build it first (cmake -S . -B build && cmake --build build)"
        exit 77
    fi
done
rm -rf "$work" && mkdir -p "$work/out" && cd "$work"
cp "$source_dir"/examples/example*.unsigned.module .
# The list as a Windows editor writes it: CRLF line ends.
for n in 1 2 3 4; do
    printf 'example%s.unsigned.module;out/example%s.signed.module\r\n' "$n" "$n"
done >modules.txt

fail() {
    echo "cross_verify: $*" >&2
    exit 1
}
"$sign" modules.txt out/key.module >sign.log || fail "kvr_sign failed: $(cat sign.log)"

status=0
"$wine_run" "$verify" modules.txt 'out\key.module' >verify.txt || status=$?
[[ $status == 0 ]] || fail "kvr_verify.exe status $status: $(cat verify.txt)"
grep -qx '4 module(s) checked: 4 OK, 0 FAILED' verify.txt || fail "unexpected report: $(cat verify.txt)"

"$wine_run" "$verify" --json 'out\example2.signed.module' out/key.module >report.json ||
    fail "kvr_verify.exe --json failed"
fingerprint=$(sed -n 's/^  key fingerprint:   \([0-9a-f]\{64\}\) .*/\1/p' verify.txt)
expected=$(tail -c +49 out/key.module | head -c 96 | sha256sum | cut -d' ' -f1)
[[ $fingerprint == "$expected" ]] || fail "fingerprint $fingerprint, expected $expected"
grep -q "\"fingerprint\": \"$expected\"" report.json || fail "JSON report without the fingerprint"

printf '\x01' | dd of=out/example3.signed.module bs=1 seek=100 conv=notrunc status=none
status=0
"$wine_run" "$verify" modules.txt out/key.module >tampered.txt || status=$?
[[ $status == 1 ]] || fail "a changed module gave status $status"
grep -qx 'out/example3.signed.module: FAILED (signature does not match this key entry)' tampered.txt ||
    fail "no FAILED line: $(cat tampered.txt)"
echo "cross_verify: a Linux-signed set verifies on Windows; a changed byte fails"

mkdir -p windows-signed/out && cd windows-signed
cp "$source_dir"/examples/example*.unsigned.module .
cp example1.unsigned.module 'modulé-ü.module'
for n in 1 2 3 4; do
    printf 'example%s.unsigned.module;out\\example%s.signed.module\r\n' "$n" "$n"
done >windows-list.txt
for round in 1 2; do
    "$wine_run" "$windows_sign" windows-list.txt 'out\key.module' >sign.log 2>&1 ||
        fail "kvr_sign.exe failed (round $round): $(cat sign.log)"
    "$wine_run" "$windows_sign" 'modulé-ü.module;out\ключ-signed.module' 'out\ключ.module' \
        >sign.log 2>&1 || fail "kvr_sign.exe with non-ASCII names failed: $(cat sign.log)"
done
sed 's/\\/\//' windows-list.txt >linux-list.txt
"$linux_verify" linux-list.txt out/key.module >verify.txt ||
    fail "the Linux kvr_verify refused the set kvr_sign.exe signed: $(cat verify.txt)"
grep -qx '4 module(s) checked: 4 OK, 0 FAILED' verify.txt || fail "unexpected report: $(cat verify.txt)"
"$linux_verify" 'out/ключ-signed.module' 'out/ключ.module' >verify.txt ||
    fail "the non-ASCII module does not verify: $(cat verify.txt)"
leftovers=$(find out -name '*kvr_sign*')
[[ -z $leftovers ]] || fail "the signer left its own files: $leftovers"
echo "cross_verify: a set signed by kvr_sign.exe verifies on Linux"
