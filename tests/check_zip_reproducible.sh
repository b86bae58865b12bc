#!/usr/bin/env bash
# The Windows package rebuilds bit for bit: the .zip of this build tree, and the .zip of a
# second tree built from the same source in another folder (umask 077, another time zone and
# locale), hold the same bytes.
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
