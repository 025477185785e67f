#!/usr/bin/env bash
# Builds the C and C++ consumers against an installed prefix, with find_package(Tallywise)
# and with pkg-config, and runs them.
# Usage: consumers.sh PREFIX CONSUMER_DIR WORKDIR
set -euo pipefail
prefix=$1 consumer=$2 work=$3
cmake -S "$consumer" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build"
# Each run of the C++ consumer starts the library in a sandbox of its own; uploads go to a
# closed local port, never out of the machine.
export TALLYWISE_MEASUREMENT_SERVICE_URL=http://127.0.0.1:9
TALLYWISE_SANDBOX="$work/sandbox-shared" "$work/build/consumer"
TALLYWISE_SANDBOX="$work/sandbox-static" "$work/build/consumer_static"
"$work/build/consumer_c"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
g++ -std=c++20 "$consumer/main.cpp" $(pkg-config --cflags --libs tallywise) -lsqlite3 -Wl,-rpath,"$prefix/lib" \
  -o "$work/consumer_pc"
TALLYWISE_SANDBOX="$work/sandbox-pc" "$work/consumer_pc"
gcc -std=c11 -Wall -Wextra -Werror -pedantic "$consumer/main.c" $(pkg-config --cflags --libs tallywise) \
  -Wl,-rpath,"$prefix/lib" -o "$work/consumer_c_pc"
"$work/consumer_c_pc"
