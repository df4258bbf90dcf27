#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UBSan in
# build/fuzz, then runs each target for a bounded time.
# Usage: fuzz/run-fuzzers.sh [SECONDS_PER_TARGET] [TARGET...]
#   SECONDS_PER_TARGET  default 60
#   TARGET              settings_file, scenario, scenario_differential (default: all)
# scenario_differential replays each scenario on the Linux library and on the
# phone's own Thrumline.dylib under emulation: THRUMLINE_PHONE_DYLIB, or the
# rootful one of the ios-arm64 preset, which this script builds.
# Each target starts from the seed corpus and the regressions in the
# repository and keeps what it learns in build/fuzz/corpus/TARGET, so later
# runs go on from there. An input that breaks a rule is saved in
# build/fuzz/artifacts/TARGET/ and the script fails.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$here")"
. "$top/scripts/packages.sh"

seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(settings_file scenario scenario_differential)
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [SECONDS_PER_TARGET] [TARGET...]" >&2; exit 2 ;;
esac

"$top/scripts/ensure-packages.sh" "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev

# The differential target's seeds are the scenario target's.
seeds_of() { [ "$1" = scenario_differential ] && echo scenario || echo "$1"; }
if [[ " ${targets[*]} " == *" scenario_differential "* && -z "${THRUMLINE_PHONE_DYLIB:-}" ]]; then
  "$top/scripts/ensure-packages.sh" "${PHONE_PACKAGES[@]}"
  cmake --preset ios-arm64 -S "$top" >/dev/null
  cmake --build "$top/build/ios-arm64" --target Thrumline -j2 >/dev/null
  export THRUMLINE_PHONE_DYLIB="$top/build/ios-arm64/tweak/Thrumline/Thrumline.dylib"
fi

build="$top/build/fuzz"
cmake -S "$top" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTHRUMLINE_SANITIZE=ON -DTHRUMLINE_FUZZ=ON -DTHRUMLINE_BUILD_TESTS=OFF \
      -DTHRUMLINE_WERROR=ON >/dev/null
jobs="$(nproc)"
[ "$jobs" -gt 2 ] && jobs=2
build_targets=()
for target in "${targets[@]}"; do build_targets+=(--target "${target}_fuzzer"); done
cmake --build "$build" -j"$jobs" "${build_targets[@]}"

# The simulated phone's folders and the library copies go to a folder of
# this run, on a memory file system when there is one (each input writes the
# settings file three times); a target that crashes cannot clean up itself.
scratch_base="${TMPDIR:-/tmp}"
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  scratch_base=/dev/shm
fi
scratch="$(mktemp -d "$scratch_base/thrumline-fuzz.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"

failed=()
for target in "${targets[@]}"; do
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  seeds="$(seeds_of "$target")"
  mkdir -p "$work" "$artifacts"
  echo "== $target: ${seconds}s" >&2
  if ! "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -max_len=16384 \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -dict="$here/$seeds.dict" -artifact_prefix="$artifacts/" \
        "$work" "$here/corpus/$seeds" "$here/regressions/$target" >"$build/$target.log" 2>&1; then
    failed+=("$target")
    tail -n 60 "$build/$target.log" >&2
  else
    grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)" \
         "$build/$target.log" | sed "s/^/  /" >&2 || true
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "Fuzzing found inputs that break a rule: ${failed[*]}. They are in $build/artifacts/." >&2
  echo "Fix the fault, then copy each input to fuzz/regressions/TARGET/ so the tests replay it." >&2
  exit 1
fi
echo "Fuzzing: no rule broken (${targets[*]}, ${seconds}s each)." >&2
