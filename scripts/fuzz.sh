#!/usr/bin/env bash
# Builds the fuzzers (clang, libFuzzer, ASan, UBSan) apart from the
# program and runs each one for a bounded time from the committed seed corpus.
# Fails when a harness finds anything (crash, sanitizer report, leak, hang).
#
#   scripts/fuzz.sh [BUILD_DIR]     default: build/fuzz
#   CW_FUZZ_SECONDS=N               time per harness (default 45)
#   CW_SKIP_FUZZ=1                  skip everything (exit 77, "skipped" for CTest)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/fuzz}"
seconds="${CW_FUZZ_SECONDS:-45}"

if [ -n "${CW_SKIP_FUZZ:-}" ] && [ "${CW_SKIP_FUZZ}" != 0 ]; then
  echo "fuzz: skipped (CW_SKIP_FUZZ is set)"
  exit 77
fi

cmake -S "$root/fuzz" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2

# Leaks are findings too; libxml2 and GLib keep their process-wide tables.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
for harness in xmlp_document load_pres midi_score; do
  seeds="$root/fuzz/corpus/$harness"
  # New inputs go to a scratch corpus; the committed seeds stay as they are.
  work="$build/corpus/$harness"
  artifacts="$build/artifacts/$harness/"
  mkdir -p "$work" "$artifacts"
  echo "fuzz: $harness for ${seconds}s"
  if ! "$build/${harness}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts" \
      "$work" "$seeds" >"$build/$harness.log" 2>&1; then
    echo "fuzz: $harness FOUND A PROBLEM; reproducer in $artifacts" >&2
    tail -n 60 "$build/$harness.log" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^#[0-9]+ *DONE' "$build/$harness.log" || true
  fi
done
exit "$status"
