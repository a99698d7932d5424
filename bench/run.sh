#!/usr/bin/env bash
# End-to-end benchmark: natjoin against sqlite3 on generated workloads.
#
#   bench/run.sh [WORKLOAD...]      (default: every workload)
#
# Builds the release preset (configure and build, no tests), generates each
# workload with natjoin_gen into bench/data/, then runs natjoin N times and
# sqlite3 N_SQLITE times on it and prints a markdown table of medians.
#
# sqlite3 does the same job: it imports the CSV copy of every relation of the
# database into an in-memory database (natjoin reads them all too), runs the
# NATURAL JOIN of the join list and writes the result as CSV to a file. The
# time is that of the whole sqlite3 process.
#
# Both row counts are checked against the count natjoin_gen derives from how
# it built the data; any difference is reported and the script exits 1.
#
# Environment:
#   N              natjoin runs per workload (default 5)
#   N_SQLITE       sqlite3 runs per workload (default N)
#   SQLITE_BUDGET  seconds of sqlite3 time per workload after which no
#                  further sqlite3 runs start (default 120)
#   SKIP_BUILD=1   use the binaries already in build/release
#
# Times are wall-clock seconds; memory is the peak resident set size.
# MB means 10^6 bytes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

N=${N:-5}
N_SQLITE=${N_SQLITE:-$N}
SQLITE_BUDGET=${SQLITE_BUDGET:-120}
workloads=("$@")
if [ ${#workloads[@]} -eq 0 ]; then
  workloads=(key2 chain3 star4 cross2 deadend3 wide-echo)
fi

natjoin=$root/build/release/natjoin
gen=$root/build/release/bench/natjoin_gen
data=$root/bench/data

# ---- tools ------------------------------------------------------------------

need_apt=()
command -v sqlite3 >/dev/null 2>&1 || need_apt+=(sqlite3)
[ -x /usr/bin/time ] || need_apt+=(time)
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "installing ${need_apt[*]}" >&2
  apt-get update >/dev/null && apt-get install -y "${need_apt[@]}" >/dev/null
fi

if [ "${SKIP_BUILD:-0}" != 1 ]; then
  echo "building the release preset" >&2
  cmake --preset release >/dev/null
  cmake --build --preset release --target natjoin natjoin_gen >/dev/null
fi

# ---- helpers ----------------------------------------------------------------

# timed FILE CMD...: runs CMD and appends "SECONDS PEAK_KB" to FILE. Wall time
# is taken with nanosecond clocks around /usr/bin/time, whose own %e has only
# centiseconds; its %M gives the peak RSS. Fails if CMD fails.
timed() {
  local log=$1
  shift
  local tf start end
  tf=$(mktemp)
  start=$(date +%s%N)
  if ! /usr/bin/time -f "%M" -o "$tf" "$@"; then
    echo "FAILED: $*" >&2
    rm -f "$tf"
    return 1
  fi
  end=$(date +%s%N)
  echo "$(( (end - start) / 1000 )) $(tail -n 1 "$tf")" | awk '{ printf "%.4f %d\n", $1 / 1e6, $2 }' >>"$log"
  rm -f "$tf"
}

median() { # of column 1
  sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
max_kb() { # of column 2
  awk 'BEGIN { m = 0 } $2 > m { m = $2 } END { print m }'
}
total_seconds() {
  awk '{ s += $1 } END { print s + 0 }'
}

# The lines after the first line starting with "result(" in natjoin's output.
natjoin_rows() {
  local header total
  header=$(grep -n -m 1 '^result(' "$1" | cut -d: -f1 || true)
  if [ -z "$header" ]; then
    echo "none"
    return
  fi
  total=$(wc -l <"$1")
  echo $((total - header))
}

# ---- runs -------------------------------------------------------------------

mkdir -p "$data"
status=0
rows_table=()
sqlite_notes=()

for w in "${workloads[@]}"; do
  db=$data/$w.db
  csv=$data/$w.csv
  out=$data/$w.natjoin.out
  sqout=$data/$w.sqlite.csv
  script=$data/$w.sql
  rm -rf "$csv"

  echo "== $w: generating" >&2
  expected=$("$gen" "$w" "$db" "$csv")
  db_bytes=$(stat -c %s "$db")

  # The sqlite3 script: import every relation, then the natural join of the
  # join list, which is the first line of the database: "join(R, S)".
  {
    echo ".bail on"
    echo ".mode csv"
    for f in "$csv"/*.csv; do
      echo ".import \"$f\" \"$(basename "$f" .csv)\""
    done
    echo ".headers off"
    echo ".once \"$sqout\""
    operands=$(head -n 1 "$db" | sed 's/^[^(]*(//; s/)[[:space:]]*$//; s/[[:space:]]*,[[:space:]]*/ NATURAL JOIN /g')
    echo "SELECT * FROM $operands;"
  } >"$script"

  echo "== $w: natjoin x $N" >&2
  nlog=$(mktemp)
  for ((i = 0; i < N; i++)); do
    rm -f "$out"
    timed "$nlog" "$natjoin" "$db" "$out"
    if [ "$i" -eq 0 ]; then
      n_rows=$(natjoin_rows "$out")
      if [ "$n_rows" != "$expected" ]; then
        echo "MISMATCH: natjoin on $w wrote $n_rows rows, expected $expected ($db)" >&2
        status=1
        n_rows="$n_rows MISMATCH (expected $expected)"
      fi
    fi
  done
  n_med=$(median <"$nlog")
  n_kb=$(max_kb <"$nlog")
  rm -f "$nlog" "$out"

  echo "== $w: sqlite3 x up to $N_SQLITE" >&2
  slog=$(mktemp)
  for ((i = 0; i < N_SQLITE; i++)); do
    rm -f "$sqout"
    timed "$slog" sqlite3 -bail -batch :memory: ".read \"$script\""
    if [ "$i" -eq 0 ]; then
      got=$(wc -l <"$sqout")
      if [ "$got" != "$expected" ]; then
        echo "MISMATCH: sqlite3 on $w wrote $got rows, expected $expected ($db)" >&2
        status=1
      fi
    fi
    if awk -v s="$(total_seconds <"$slog")" -v b="$SQLITE_BUDGET" 'BEGIN { exit !(s >= b) }'; then
      break
    fi
  done
  s_runs=$(wc -l <"$slog")
  s_med=$(median <"$slog")
  s_kb=$(max_kb <"$slog")
  rm -f "$slog" "$sqout"

  rows_table+=("$(awk -v w="$w" -v db="$db_bytes" -v nm="$n_med" -v nk="$n_kb" -v rows="$n_rows" \
    -v sm="$s_med" 'BEGIN {
      peak = nk * 1024
      printf "| %s | " (db < 1e6 ? "%.3f" : "%.1f") " | %.3f | %.1f | %s | %.3f | %.1f | %.2f |", \
        w, db / 1e6, nm, peak / 1e6, rows, sm, (nm > 0 ? sm / nm : 0), peak / db
    }')")
  sqlite_notes+=("$(awk -v w="$w" -v runs="$s_runs" -v sk="$s_kb" 'BEGIN {
      printf "| %s | %d | %.1f |", w, runs, sk * 1024 / 1e6 }')")
done

echo
echo "natjoin: median of $N runs; sqlite3: median of up to $N_SQLITE runs"
echo
echo "| workload | DB size MB | natjoin median s | natjoin peak MB | rows | sqlite3 median s | ratio (sqlite3/natjoin) | peak memory / DB size |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
printf '%s\n' "${rows_table[@]}"
echo
echo "| workload | sqlite3 runs | sqlite3 peak MB |"
echo "|---|---:|---:|"
printf '%s\n' "${sqlite_notes[@]}"

if [ "$status" -ne 0 ]; then
  echo
  echo "MISMATCH: some row counts differ from the generator's (see above)"
fi
exit "$status"
