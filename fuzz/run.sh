#!/usr/bin/env bash
# Builds the fuzz preset, then for each libFuzzer target:
#  1. replays the corpus kept in the repository, fuzz/corpus/<target>/: every
#     input there runs once, so a fault that any of them once found, or an
#     input that once covered new code, is checked again on every run;
#  2. fuzzes for SECONDS seconds (0: replay only), all targets at once, each
#     output line marked with its target. New inputs go to a working corpus,
#     build/fuzz/corpus/<target>/, seeded with the end-to-end cases'
#     databases and kept between runs, so a later run starts from what an
#     earlier one found; the repository's corpus is read as well.
# Fails if a target finds a crash, a failed check, a leak or a timeout; the
# input is then printed (cat -v and a hex dump) and kept in
# build/fuzz/artifacts/<target>/.
#
# Usage: fuzz/run.sh SECONDS [extra libFuzzer flags...]
#
# After a long run, minimise what it found into the repository's corpus (only
# inputs that reach code or states the corpus does not yet reach are added),
# then commit fuzz/corpus/:
#   for t in natjoin_fuzz_pipeline natjoin_fuzz_engine; do build/fuzz/fuzz/$t -merge=1 -max_len=4096 fuzz/corpus/$t build/fuzz/corpus/$t; done
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
stamp=$(mktemp)
trap 'rm -f "$stamp"' EXIT

# -timeout: a run that ignores a failed write and goes on enumerating a cross
# product shows up as a timeout.
flags=(-dict="$root/fuzz/natjoin.dict" -timeout=60 -rss_limit_mb=4096 -max_len=4096)

# Prints every input that libFuzzer saved since the run started.
show_new_artifacts() {
  local file
  find "$1" -type f -newer "$stamp" -print0 | while IFS= read -r -d '' file; do
    echo "== input $file ($(wc -c <"$file") bytes), as text:" >&2
    cat -v "$file" >&2
    echo >&2
    echo "== as bytes:" >&2
    od -A x -t x1z -v "$file" | head -n 256 >&2
  done
}

targets=(natjoin_fuzz_pipeline natjoin_fuzz_engine)
status=0
for target in "${targets[@]}"; do
  kept=$root/fuzz/corpus/$target
  artifacts=$build/artifacts/$target
  mkdir -p "$kept" "$artifacts"
  echo "== $target: replaying $(find "$kept" -type f | wc -l) inputs of fuzz/corpus/$target"
  # -runs=0: load (and so run) every input of the corpus once, fuzz nothing.
  if ! "$build/fuzz/$target" "$kept" "${flags[@]}" -runs=0 \
      -artifact_prefix="$artifacts/" "$@"; then
    echo "== $target FAILED on an input of fuzz/corpus/$target" >&2
    show_new_artifacts "$artifacts"
    status=1
  fi
done
((status == 0 && seconds > 0)) || exit $status

# Fuzzes one target; its lines carry its name, as the targets run side by side
# (one a core).
fuzz() {
  local target=$1
  shift
  local kept=$root/fuzz/corpus/$target
  local corpus=$build/corpus/$target
  local artifacts=$build/artifacts/$target
  mkdir -p "$corpus"
  local db
  for db in tests/cases/*/db.txt; do
    cp "$db" "$corpus/seed-$(basename "$(dirname "$db")")"
  done
  echo "== $target: $seconds s"
  if ! "$build/fuzz/$target" "$corpus" "$kept" "${flags[@]}" \
      -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$@"; then
    echo "== $target FAILED; reproducers in $artifacts" >&2
    show_new_artifacts "$artifacts"
    return 1
  fi
}

pids=()
for target in "${targets[@]}"; do
  fuzz "$target" "$@" > >(sed -u "s/^/[$target] /") 2>&1 &
  pids+=($!)
done
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
exit $status
