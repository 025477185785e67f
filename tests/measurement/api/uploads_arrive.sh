#!/usr/bin/env bash
# Runs a program against the local measurement service and checks that every expected
# string is in what arrived (the accepted batches, decoded as JSON), and that the program
# printed the line EXPECT_OUTPUT (a grep pattern) when that is set.
# Usage: uploads_arrive.sh SERVICE WORKDIR "EXPECTED..." PROGRAM [ARGS...]
set -euo pipefail
service=$1 work=$2 expected=$3
shift 3
rm -rf "$work"
mkdir -p "$work/received" "$work/configs"
"$service" --port 0 --record-dir "$work/received" --config-dir "$work/configs" >"$work/service.log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT
url=""
for _ in $(seq 100); do
  url=$(grep -o 'http://127\.0\.0\.1:[0-9]*' "$work/service.log" | head -n 1 || true)
  [[ -n "$url" ]] && break
  sleep 0.1
done
[[ -n "$url" ]] || { echo "the service did not start"; cat "$work/service.log"; exit 1; }

TALLYWISE_SANDBOX="$work/sandbox" TALLYWISE_MEASUREMENT_SERVICE_URL="$url" "$@" | tee "$work/program.log"
cat "$work/service.log"
missing=0
for want in $expected; do
  if ! cat "$work/received"/*.batch.json 2>/dev/null | grep -q -- "$want"; then
    echo "missing at the service: $want"
    missing=1
  fi
done
if [[ -n "${EXPECT_OUTPUT:-}" ]] && ! grep -q -- "$EXPECT_OUTPUT" "$work/program.log"; then
  echo "the program did not print: $EXPECT_OUTPUT"
  missing=1
fi
[[ $missing -eq 0 ]] && echo "everything expected arrived"
exit $missing
