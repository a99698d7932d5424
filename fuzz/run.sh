#!/usr/bin/env bash
# Builds the fuzz preset and runs each libFuzzer target for SECONDS seconds,
# one after the other, on a corpus seeded with the end-to-end cases'
# databases. The corpora are kept under build/fuzz/corpus/ between runs, so a
# later run starts from what an earlier one found. Fails if a target finds a
# crash, a failed check, a leak or a timeout; its reproducer is then in
# build/fuzz/artifacts/<target>/.
#
# Usage: fuzz/run.sh SECONDS [extra libFuzzer flags...]
set -euo pipefail

if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS [libFuzzer flags...]" >&2
  exit 2
fi
seconds=$1
shift

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

build=$root/build/fuzz
status=0
for target in natjoin_fuzz_pipeline natjoin_fuzz_engine; do
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  for db in tests/cases/*/db.txt; do
    cp "$db" "$corpus/seed-$(basename "$(dirname "$db")")"
  done
  echo "== $target: $seconds s"
  # -timeout: a run that ignores a failed write and goes on enumerating a
  # cross product shows up as a timeout.
  if ! "$build/fuzz/$target" "$corpus" \
      -dict="$root/fuzz/natjoin.dict" \
      -max_total_time="$seconds" \
      -timeout=60 -rss_limit_mb=4096 -max_len=4096 \
      -print_final_stats=1 \
      -artifact_prefix="$artifacts/" \
      "$@"; then
    echo "== $target FAILED; reproducers in $artifacts" >&2
    status=1
  fi
done
exit $status
