# The package tests' checks, sourced: each `check DESCRIPTION COMMAND...`
# prints ok or FAILED and is counted.
failures=0
checks=0
check() {
  local what="$1"
  shift
  checks=$((checks + 1))
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}
equals() { [ "$1" = "$2" ] || { echo "  expected [$2], got [$1]"; return 1; }; }
