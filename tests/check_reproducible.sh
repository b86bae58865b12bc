#!/usr/bin/env bash
# Builds the package a second time from the same source, in a new build folder elsewhere (a
# name with a space), at another time, under another umask, time zone and locale, and fails
# unless the .deb and the programs are byte for byte those of the given build tree. The
# second tree builds only what the package holds. SOURCE_DATE_EPOCH is unset, so both
# packages take their time stamp from the source's last commit, as the README's commands do.
#   check_reproducible.sh <source folder> <build folder> <cmake options of that build...>
set -euo pipefail
source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset SOURCE_DATE_EPOCH

# package <build folder> <output folder>: the .deb's path on stdout.
package() {
    mkdir "$2"
    if ! (cd "$2" && cpack --config "$1/CPackConfig.cmake" -G DEB > cpack.log 2>&1); then
        cat "$2/cpack.log" >&2
        exit 1
    fi
    ls "$2"/kvr-sign_*.deb
}

first_deb=$(package "$build" "$work/first")
second="$work/second build"
if ! (umask 077 && export TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 &&
    cmake -S "$source" -B "$second" "$@" -DKVR_BUILD_TESTS=OFF -DKVR_BUILD_BENCH=OFF &&
    cmake --build "$second" -j1 &&
    package "$second" "$work/second package" > "$work/second.deb.path") > "$work/build.log" 2>&1
then
    tail -n 40 "$work/build.log" >&2
    exit 1
fi
second_deb=$(cat "$work/second.deb.path")
sha256sum "$first_deb" "$second_deb"

status=0
for program in kvr_sign kvr_verify; do
    cmp "$build/qpx/fradel/$program" "$second/qpx/fradel/$program" || status=1
done
if ! cmp -s "$first_deb" "$second_deb"; then
    # Say where they differ: member list, file listing, then the unpacked files.
    diff <(ar tv "$first_deb") <(ar tv "$second_deb") >&2 || true
    diff <(dpkg-deb -c "$first_deb") <(dpkg-deb -c "$second_deb") >&2 || true
    dpkg-deb -R "$first_deb" "$work/first/root"
    dpkg-deb -R "$second_deb" "$work/second package/root"
    diff -r "$work/first/root" "$work/second package/root" >&2 || true
    echo "the two packages differ" >&2
    status=1
fi
exit $status
