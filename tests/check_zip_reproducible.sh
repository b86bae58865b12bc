#!/usr/bin/env bash
# The Windows package holds what it promises and rebuilds bit for bit: the .zip of this build
# tree has the programs, the README and every document of docs/ beside it (with the source's
# content), the reference page and the licenses; and the .zip of a second tree built from the
# same source in another folder (umask 077, another time zone and locale) holds the same bytes.
#   check_zip_reproducible.sh <source dir> <build dir> <cmake configure options...>
set -euo pipefail
source_dir=$1 build_dir=$2
shift 2

package() {
    (cd "$1" && rm -f kvr-sign-*-win64.zip && cpack -G ZIP >cpack.log 2>&1) ||
        { cat "$1/cpack.log" >&2; exit 1; }
    echo "$1"/kvr-sign-*-win64.zip
}

first=$(package "$build_dir")
top=$(basename "$first" .zip)
entries=$(unzip -Z1 "$first")
for entry in kvr_sign.exe kvr_verify.exe reference.md copyright openssl-LICENSE.txt; do
    grep -qxF "$top/$entry" <<<"$entries" || { echo "missing in the zip: $entry" >&2; exit 1; }
done
for document in "$source_dir"/README.md "$source_dir"/docs/*; do
    entry=${document#"$source_dir"/}
    unzip -p "$first" "$top/$entry" | cmp -s - "$document" ||
        { echo "the zip's $entry is missing or differs from $document" >&2; exit 1; }
done
second_dir=$(mktemp -d /tmp/kvr-zip-rebuild.XXXXXX)
trap 'rm -rf "$second_dir"' EXIT
(
    umask 077
    export TZ=America/New_York LC_ALL=C.UTF-8
    cmake -S "$source_dir" -B "$second_dir" "$@" >"$second_dir.configure.log"
    cmake --build "$second_dir" -j2 --target kvr_sign kvr_verify kvr_package_files >/dev/null
)
rm -f "$second_dir.configure.log"
second=$(package "$second_dir")
if ! cmp "$first" "$second"; then
    echo "the two packages differ:" >&2
    diff <(zipinfo -v "$first") <(zipinfo -v "$second") | head -40 >&2
    exit 1
fi
echo "same bytes: $(sha256sum "$first" | cut -d' ' -f1)"
