#!/usr/bin/env bash
# Installs the built library into a scratch prefix and builds a consumer against it,
# once with find_package(Tallywise) and once with pkg-config.
set -euo pipefail
build=$1; consumer=$2
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$consumer" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build"
"$work/build/consumer"
"$work/build/consumer_static"
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" \
  g++ -std=c++20 "$consumer/main.cpp" $(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs tallywise) \
  -Wl,-rpath,"$work/prefix/lib" -o "$work/consumer_pc"
"$work/consumer_pc"
