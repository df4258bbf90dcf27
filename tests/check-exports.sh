#!/usr/bin/env bash
# The library must export exactly one function, refreshPrefs: everything else
# stays private to it, as the loader and the settings pane expect.
set -euo pipefail
exported=$(nm -D --defined-only "$1" | awk '{print $NF}' | sort | tr '\n' ' ')
if [ "$exported" != "refreshPrefs " ]; then
  echo "$1 exports: $exported(expected only refreshPrefs)" >&2
  exit 1
fi
