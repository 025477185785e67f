#!/usr/bin/env bash
# Builds the C and C++ consumers against an installed prefix, with find_package(Tallywise)
# and with pkg-config, and runs them.
# Usage: consumers.sh PREFIX CONSUMER_DIR WORKDIR
set -euo pipefail
prefix=$1 consumer=$2 work=$3
cmake -S "$consumer" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build"
"$work/build/consumer"
"$work/build/consumer_static"
"$work/build/consumer_c"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
g++ -std=c++20 "$consumer/main.cpp" $(pkg-config --cflags --libs tallywise) -Wl,-rpath,"$prefix/lib" -o "$work/consumer_pc"
"$work/consumer_pc"
gcc -std=c11 -Wall -Wextra -Werror -pedantic "$consumer/main.c" $(pkg-config --cflags --libs tallywise) \
  -Wl,-rpath,"$prefix/lib" -o "$work/consumer_c_pc"
"$work/consumer_c_pc"
