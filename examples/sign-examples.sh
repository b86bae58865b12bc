#!/usr/bin/env bash
# Signs the bundled example modules into a fresh folder out/ at the project's root, then
# verifies them with kvr_verify.
#   examples/sign-examples.sh [build folder]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

rm -rf out
mkdir out
"$build/qpx/fradel/kvr_sign" examples/modules.txt out/key.module
echo
echo "Signed modules and the Public Key Entry module are in $(pwd)/out:"
ls -l out
echo
echo "Checking them against the Public Key Entry module:"
"$build/qpx/fradel/kvr_verify" examples/modules.txt out/key.module
