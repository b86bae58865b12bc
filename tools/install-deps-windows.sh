#!/usr/bin/env bash
# Installs what the Windows build (cmake --preset windows) needs and the machine does not have
# yet: the mingw-w64 cross compiler (posix threads), Wine to run the programs and their tests,
# and OpenSSL libcrypto built for mingw64 from Debian's own source package of openssl, so both
# systems run one crypto engine with the same messages. Does nothing when everything is there.
set -euo pipefail

# The openssl source package to build. It must be one that the archive still carries as
# source; when it is gone the script stops and says so, and this pin is moved on.
openssl_version="${KVR_MINGW_OPENSSL_VERSION:-3.0.20-1~deb12u2}"
prefix="/opt/kvr-mingw64-openssl-${openssl_version//\~/_}"
cross=x86_64-w64-mingw32-

packages=(
    g++-mingw-w64-x86-64-posix # the cross compiler, with std::thread and friends
    wine64 wine                # runs the .exe and the tests under CTest
    cmake make perl dpkg-dev   # the build; openssl's Configure; apt-get source
    libgtest-dev               # GoogleTest's sources in /usr/src/googletest, cross-built
    nlohmann-json3-dev         # header-only JSON library for kvr_verify
    git zip unzip              # the package's time stamp; the .zip checks
)

install_missing_packages() {
    local missing=() package
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
            missing+=("$package")
    done
    ((${#missing[@]} == 0)) && return 0
    echo "install-deps-windows: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
}

# A deb-src entry for every archive and suite the deb entries name, so that apt-get source
# finds the package in the same archive the binaries come from.
ensure_source_entries() {
    local list=/etc/apt/sources.list.d/kvr-deb-src.sources
    if grep -rqs -e '^Types:.*deb-src' -e '^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        return 0
    fi
    echo "install-deps-windows: adding deb-src entries in $list"
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:[^\n]*deb/ && /URIs:[^\n]*debian/ {
             sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
        /etc/apt/sources.list.d/debian.sources >"$list"
    if [[ ! -s $list ]]; then
        rm -f "$list"
        echo "install-deps-windows: no Debian archive found in /etc/apt/sources.list.d/debian.sources" >&2
        exit 1
    fi
    apt-get update -qq
}

fetch_openssl_source() {
    local work=$1
    ensure_source_entries
    if ! (cd "$work" && apt-get source -qq --only-source "openssl=$openssl_version" >apt-source.log 2>&1); then
        echo "install-deps-windows: the archive no longer has the source of openssl $openssl_version" >&2
        echo "  apt-get source said: $(tail -n 3 "$work/apt-source.log" | tr '\n' ' ')" >&2
        echo "  hint: apt-cache showsrc openssl lists the versions there; set openssl_version in $0" >&2
        exit 1
    fi
}

build_openssl() {
    local source_dir started
    started=$(date +%s)
    build_work=$(mktemp -d /tmp/kvr-mingw-openssl.XXXXXX)
    trap 'rm -rf "$build_work"' EXIT
    local work=$build_work
    fetch_openssl_source "$work"
    source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
    echo "install-deps-windows: building static libcrypto for mingw64 from $(basename "$source_dir")"
    (
        cd "$source_dir"
        ./Configure mingw64 no-shared no-tests no-engine no-module \
            --cross-compile-prefix="$cross" --prefix="$prefix" --libdir=lib >"$work/configure.log"
        # libcrypto alone: the generated headers, then the static library (no libssl).
        make -j2 build_generated libcrypto.a >"$work/build.log" 2>&1 ||
            { tail -n 30 "$work/build.log" >&2; exit 1; }
        rm -rf "$prefix.partial"
        mkdir -p "$prefix.partial/lib" "$prefix.partial/include"
        cp libcrypto.a "$prefix.partial/lib/"
        mkdir -p "$prefix.partial/include/openssl" && cp include/openssl/*.h "$prefix.partial/include/openssl/"
        cp LICENSE.txt "$prefix.partial/"
        echo "$openssl_version" >"$prefix.partial/VERSION"
    )
    rm -rf "$prefix"
    mv "$prefix.partial" "$prefix"
    echo "install-deps-windows: libcrypto in $prefix ($(($(date +%s) - started)) s)"
}

install_missing_packages
if [[ -f $prefix/lib/libcrypto.a && -f $prefix/include/openssl/opensslv.h && -f $prefix/VERSION ]]; then
    exit 0
fi
build_openssl
