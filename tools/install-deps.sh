#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the checks need and the
# machine does not have yet. Does nothing when everything is there.
set -euo pipefail

packages=(
    g++ make cmake            # toolchain
    git                       # the last commit's time, the Debian package's time stamp
    libssl-dev openssl        # OpenSSL libcrypto, and the command-line tool the tests use
    libtbb-dev                # the scalable allocator proxy
    libgtest-dev              # GoogleTest
    nlohmann-json3-dev        # JSON library for kvr_verify's --json report
    python3 jq                # JSON readers: the verifier's tests, the README's pipeline recipe
    clang-14 libclang-rt-14-dev  # libFuzzer for the fuzz targets
    valgrind                  # memory checks
    util-linux                # setpriv, for the tests that run as a non-root user
    strace                    # the tracer that injects faults into the tests' runs
    mount e2fsprogs xfsprogs btrfs-progs  # the file-system matrix: loop devices, mounts, the
    squashfs-tools bindfs fuse3           # file systems, a squashfs layer, a FUSE passthrough
    dpkg-dev file             # building the .deb: dpkg-shlibdeps, and the ELF check before it
    lintian mandoc            # checking the .deb and its manual pages
    bash-completion           # the completion helpers the completion scripts use
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
        missing+=("$package")
done

if ((${#missing[@]} > 0)); then
    echo "install-deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
