#!/usr/bin/env bash
# Builds the .deb from a build tree, fails on any lintian error, unpacks it and checks that
# the unpacked programs run and every file the package promises is there.
#   check_package.sh <build folder>
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cpack --config "$build/CPackConfig.cmake" -G DEB > cpack.log || { cat cpack.log; exit 1; }
deb=$(ls kvr-sign_*_*.deb)
lintian --tag-display-limit 0 "$deb" | tee lintian.log || true
if grep -q '^E:' lintian.log; then exit 1; fi
dpkg-deb -x "$deb" root
for file in usr/bin/kvr_sign usr/bin/kvr_verify usr/share/man/man1/kvr_sign.1.gz \
    usr/share/man/man1/kvr_verify.1.gz usr/share/bash-completion/completions/kvr_sign \
    usr/share/bash-completion/completions/kvr_verify usr/share/doc/kvr-sign/copyright \
    usr/share/doc/kvr-sign/changelog.gz; do
    [[ -f root/$file ]] || { echo "missing in the package: /$file" >&2; exit 1; }
done
root/usr/bin/kvr_sign --help > /dev/null
root/usr/bin/kvr_verify --help > /dev/null
for page in root/usr/share/man/man1/*.1.gz; do
    gzip -dc "$page" > page.1
    if [[ -n $(mandoc -T lint -W warning page.1) ]]; then mandoc -T lint page.1; exit 1; fi
done
echo "package checked: $deb"
