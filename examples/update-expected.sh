#!/usr/bin/env bash
# Rewrites each example's expected output with what thrumline-sim prints now.
# Usage: examples/update-expected.sh BUILD_DIR   (a build with thrumline-sim built)
# Read the diff before committing: every change must be one you meant.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
tool="${1:?usage: $0 BUILD_DIR}/simulator/thrumline-sim/thrumline-sim"
for scenario in "$here"/*.scn; do
  "$tool" "$scenario" > "${scenario%.scn}.txt"
  if [ -f "${scenario%.scn}.jsonl" ]; then
    "$tool" --json "$scenario" > "${scenario%.scn}.jsonl"
  fi
  if [ -f "${scenario%.scn}.svg" ]; then
    "$tool" --svg "${scenario%.scn}.svg" "$scenario" > /dev/null
  fi
done
