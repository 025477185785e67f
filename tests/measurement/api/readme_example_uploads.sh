#!/usr/bin/env bash
# The README's example run as a plain program (no app bundle, no Info.plist) against the
# local measurement service: every event and the user property it logged must arrive.
# Usage: readme_example_uploads.sh SERVICE EXAMPLE WORKDIR
set -euo pipefail
service=$1 example=$2 work=$3
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

TALLYWISE_SANDBOX="$work/sandbox" TALLYWISE_MEASUREMENT_SERVICE_URL="$url" "$example" -TWKDebugEnabled
cat "$work/service.log"
missing=0
for expected in level_up spend_virtual_currency favorite_hero '"readme-example"'; do
  if ! cat "$work/received"/*.batch.json 2>/dev/null | grep -q -- "$expected"; then
    echo "missing at the service: $expected"
    missing=1
  fi
done
[[ $missing -eq 0 ]] && echo "all events arrived"
exit $missing
