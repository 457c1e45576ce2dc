# Stages for the test scripts (sourced by scripts/test and scripts/test-device):
# each stage's output is shown as it goes and kept for its counts, and the
# script ends with one closing line per stage,
#   "name:   passed|FAILED  counts, time"
# where a failed stage's counts name what failed. The first failed stage ends
# the run. The sourcing script sets `stages_title` (the closing block's
# heading) and calls `finish 0` after its last stage.

summary=()
stage_log=$(mktemp)
trap 'rm -f "$stage_log"' EXIT

# The verdict of every stage so far, then the exit status given.
finish() {
  echo
  echo "$stages_title:"
  printf '  %s\n' "${summary[@]}"
  exit "$1"
}

# stage NAME COUNTS COMMAND...: runs the command, then records its verdict
# with what COUNTS (a function given the stage's log) says about it.
stage() {
  local name=$1 counts=$2
  shift 2
  local start=$SECONDS status=0
  "$@" 2>&1 | tee "$stage_log" || status=$?
  local took=$((SECONDS - start))
  local what
  what=$("$counts" "$stage_log")
  if [ "$status" -eq 0 ]; then
    summary+=("$(printf '%-24s passed  %s, %dm%02ds' "$name:" "$what" $((took / 60)) $((took % 60)))")
  else
    summary+=("$(printf '%-24s FAILED  %s, %dm%02ds (status %d)' "$name:" "$what" $((took / 60)) $((took % 60)) "$status")")
    finish 1
  fi
}

# The tests ctest lists after "The following tests FAILED:", as
# "name (why), name (why)"; nothing when it lists none.
ctest_failures() {
  sed -n '/^The following tests FAILED:/,/^[^[:space:]]/p' "$1" |
    sed -nE 's/^[[:space:]]+[0-9]+ - (.*) \(([^()]*)\)[[:space:]]*$/\1 (\2)/p' |
    paste -sd ',' - | sed 's/,/, /g'
}

# ctest's closing line ("98% tests passed, 2 tests failed out of 418"), and
# the failed tests by name.
ctest_counts() {
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1 || true)
  if [ -z "$line" ]; then echo "no test ran"; return; fi
  local failed total skipped
  failed=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  skipped=$(grep -c '(Skipped)' "$1" || true)
  # ctest counts a skipped test among the passed ones.
  local text="$((total - failed - skipped)) of $total tests passed, $skipped skipped"
  local names
  names=$(ctest_failures "$1")
  if [ -n "$names" ]; then text+="; failed: $names"; fi
  echo "$text"
}

# scripts/fuzz's lines: "name   ok|FOUND  executions=N".
fuzz_counts() {
  local ok found names
  ok=$(grep -cE '^[a-z_]+ +ok ' "$1" || true)
  found=$(grep -cE '^[a-z_]+ +FOUND ' "$1" || true)
  names=$(grep -E '^[a-z_]+ +FOUND ' "$1" | awk '{print $1}' | paste -sd ',' - | sed 's/,/, /g' || true)
  local text="$ok fuzz targets clean, $found with findings"
  if [ -n "$names" ]; then text+=": $names"; fi
  echo "$text"
}

no_counts() { echo "done"; }
