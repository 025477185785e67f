#!/usr/bin/env bash
# Installs the built library into a scratch prefix and builds the C and C++ consumers
# against it, with find_package(Tallywise) and with pkg-config.
set -euo pipefail
build=$1; consumer=$2
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
bash "$(dirname "$0")/consumers.sh" "$work/prefix" "$consumer" "$work"
