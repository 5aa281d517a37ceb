# Sourced by the test scripts: a missing prerequisite skips a local run
# (exit 77, which ctest reports as skipped) but fails under CI, where a skip
# would pass as green while proving nothing.
missing() {
  echo "$1" >&2
  [ "${CI:-}" = true ] && exit 1
  exit 77
}
