#!/usr/bin/env bash
# Packages the build tree as `make deb` does (nothing is rebuilt), unpacks the packages into
# a scratch root with dpkg-deb -x, checks their dependencies, the library's SONAME and its
# exported C functions, builds the C and C++ consumers against that root, and runs the
# README's Python example on the unpacked library against the unpacked measurement service.
# Usage: deb.sh BUILD CONSUMER_DIR SOURCE_DIR
set -euo pipefail
build=$1 consumer=$2 source=$3
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }

arch=$(dpkg --print-architecture)
root=$work/root
fail=0
for package in libtallywise8 libtallywise-dev tallywise-tools; do
  deb=$work/packages/${package}_8.9.1_$arch.deb
  [[ -f $deb ]] || { echo "missing package $deb"; ls "$work/packages"; exit 1; }
  dpkg-deb -x "$deb" "$root"
  echo "$package: $(du -k "$deb" | cut -f1) KiB, Depends: $(dpkg-deb -f "$deb" Depends)"
done
# What the library and the tools load, and what the development files ask for.
for want in libsqlite3-0 libcurl4 libssl3 libicu zlib1g libplist libstdc++6; do
  for package in libtallywise8 tallywise-tools; do
    dpkg-deb -f "$work/packages/${package}_8.9.1_$arch.deb" Depends | grep -q "$want" ||
      { echo "$package does not depend on $want"; fail=1; }
  done
done
for want in "libtallywise8 (= 8.9.1)" libsqlite3-dev libcurl4-openssl-dev libssl-dev libicu-dev libplist-dev libnanopb-dev zlib1g-dev; do
  dpkg-deb -f "$work/packages/libtallywise-dev_8.9.1_$arch.deb" Depends | grep -qF "$want" ||
    { echo "libtallywise-dev does not depend on $want"; fail=1; }
done

lib=$root/usr/lib/libtallywise.so.8
readelf -d "$lib" | grep -q 'SONAME.*\[libtallywise\.so\.8\]' || { echo "SONAME is not libtallywise.so.8"; fail=1; }
exported=$(nm -D --defined-only "$lib" | awk '$2 == "T" {print $3}')
declared=$(grep -o '^TW_API [^(]*' "$root/usr/include/tallywise/tallywise.h" | grep -o 'tw_[a-z_]*$')
for f in $declared; do
  grep -qx "$f" <<<"$exported" || { echo "not exported: $f"; fail=1; }
done
echo "$(wc -w <<<"$declared") C functions declared and exported"
for tool in tallywise-measurement-service tallywise-inspect tallywise-script-runner; do
  [[ -x $root/usr/bin/$tool ]] || { echo "missing tool $tool"; fail=1; }
done
[[ $fail -eq 0 ]] || exit 1

bash "$(dirname "$0")/consumers.sh" "$root/usr" "$consumer" "$work"

api=$source/tests/measurement/api
TALLYWISE_BUNDLE_ID=python-example LD_LIBRARY_PATH="$root/usr/lib" EXPECT_OUTPUT="accepted app level_up" \
  bash "$api/uploads_arrive.sh" "$root/usr/bin/tallywise-measurement-service" "$work/python" "level_up character" \
  python3 "$api/readme_example.py" -TWKDebugEnabled
