#!/usr/bin/env bash
# Builds the .deb from a build tree and fails on any lintian tag, pedantic and experimental ones
# included, that the package's overrides do not explain; unpacks it and checks that the
# unpacked programs run and every file the package promises is there, the documents of docs/
# beside the README with the source's content.
#   check_package.sh <build folder> <source folder>
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cpack --config "$build/CPackConfig.cmake" -G DEB > cpack.log || { cat cpack.log; exit 1; }
deb=$(ls kvr-sign_*-*_*.deb)
# --fail-on none: a non-zero status is lintian itself failing, not a tag.
lintian --pedantic -I -E --fail-on none --tag-display-limit 0 "$deb" > lintian.log ||
    { cat lintian.log; echo "lintian failed" >&2; exit 1; }
if grep -E '^[EWIPX]: ' lintian.log; then
    echo "lintian tags above are not overridden (packaging/lintian-overrides)" >&2
    exit 1
fi
dpkg-deb -x "$deb" root
doc=usr/share/doc/kvr-sign
for file in usr/bin/kvr_sign usr/bin/kvr_verify usr/share/man/man1/kvr_sign.1.gz \
    usr/share/man/man1/kvr_verify.1.gz usr/share/bash-completion/completions/kvr_sign \
    usr/share/bash-completion/completions/kvr_verify $doc/copyright $doc/changelog.Debian.gz \
    $doc/README.md.gz $doc/reference.md.gz usr/share/lintian/overrides/kvr-sign; do
    [[ -f root/$file ]] || { echo "missing in the package: /$file" >&2; exit 1; }
done
# Every document of docs/ is shipped under docs/, Markdown compressed and images as they are,
# and nothing else is there.
documents=0
for source in "$source_dir"/README.md "$source_dir"/docs/*; do
    case $source in
    */README.md) shipped=root/$doc/README.md.gz ;;
    *.md) shipped=root/$doc/docs/$(basename "$source").gz ;;
    *) shipped=root/$doc/docs/$(basename "$source") ;;
    esac
    [[ -f $shipped ]] || { echo "missing in the package: /${shipped#root/}" >&2; exit 1; }
    if [[ $shipped == *.gz ]]; then gzip -dc "$shipped" > shipped; else cp "$shipped" shipped; fi
    cmp -s shipped "$source" || { echo "/${shipped#root/} differs from $source" >&2; exit 1; }
    documents=$((documents + 1))
done
if [[ $(ls root/$doc/docs | wc -l) -ne $((documents - 1)) ]]; then
    echo "root/$doc/docs holds files that docs/ does not:" >&2; ls root/$doc/docs >&2; exit 1
fi
# The manual pages name documents that are there.
for named in $(gzip -dc root/usr/share/man/man1/*.1.gz | grep -o 'docs/[a-z_]*\.\(md\.gz\|svg\)'); do
    [[ -f root/$doc/$named ]] || { echo "a manual page names /$doc/$named, which is missing" >&2; exit 1; }
done
# The reference page holds both layouts and the report's fields.
gzip -dc root/$doc/reference.md.gz > reference.md
for heading in '## Descriptor module (4208 bytes' '## Public Key Entry module (256 bytes' \
    '## The JSON report'; do
    grep -qF "$heading" reference.md || { echo "reference.md.gz lacks \"$heading\"" >&2; exit 1; }
done
grep -qF '`format_version`' reference.md || { echo "reference.md.gz lacks the report's fields" >&2; exit 1; }
root/usr/bin/kvr_sign --help > /dev/null
root/usr/bin/kvr_verify --help > /dev/null
for page in root/usr/share/man/man1/*.1.gz; do
    gzip -dc "$page" > page.1
    if [[ -n $(mandoc -T lint -W warning page.1) ]]; then mandoc -T lint page.1; exit 1; fi
done
echo "package checked: $deb"
