#!/usr/bin/env bash
# shellcheck disable=SC2317  # the after_* functions are called through measure
# End-to-end benchmark: natjoin against sqlite3 and DuckDB on generated
# workloads.
#
#   bench/run.sh [WORKLOAD...]           (default: every workload)
#   bench/run.sh --smoke [WORKLOAD...]
#
# Builds the release preset (configure and build, no tests), generates each
# workload with natjoin_gen into bench/data/, then runs natjoin, sqlite3 and
# DuckDB up to N times each on it and prints a markdown table of medians:
# wall time and peak resident memory of each, and natjoin's peak memory
# against the size of the database file.
#
# The peers do the same job as natjoin. sqlite3 imports the CSV copy of every
# relation of the database into an in-memory database (natjoin reads them
# all too), runs the NATURAL JOIN of the join list and writes the result as
# CSV to a file. DuckDB does the same through bench/duckdb_join.mjs (every
# column read as text; a CROSS JOIN where a relation shares no attribute with
# the ones before it, since DuckDB refuses a NATURAL JOIN without one). The
# time is that of the whole sqlite3 or node process. DuckDB and natjoin use
# every core; sqlite3 uses one.
#
# Every row count is checked against the count natjoin_gen derives from how
# it built the data, and for results of at most CHECK_ROWS rows the sorted
# rows of each peer are compared with natjoin's (or, where natjoin ran out of
# its budget, with the other peer's). Any difference is reported and the
# script exits 1; a program running out of its budget is not a failure.
#
# --smoke: every workload (or those named) at SCALE 0.01, one natjoin run
# each, no peers, no installs, no build (build the release preset first),
# data in a temporary folder. Exits 1 if natjoin fails, runs out of its
# budget or writes a row count other than the generator's.
#
# Environment:
#   SCALE            tuples relative to the standard sizes (default 1; 10 for
#                    ten times as many); passed to natjoin_gen --scale
#   N                runs per workload and program (default 5)
#   N_SQLITE         sqlite3 runs (default N)
#   N_DUCKDB         DuckDB runs (default N)
#   BUDGET           seconds of wall time per workload and program (default
#                    60); no run starts once a program has used its budget
#                    on a workload, and a run still going when it is used up
#                    is stopped. A program whose first run is stopped shows
#                    "> BUDGET" in the table.
#   NATJOIN_BUDGET, SQLITE_BUDGET, DUCKDB_BUDGET   the same, per program
#                    (default BUDGET)
#   PEERS            the peers to run (default "sqlite3 duckdb"; "" for
#                    natjoin alone)
#   CHECK_ROWS       largest result whose rows are compared (default 2000000)
#   SKIP_BUILD=1     use the binaries already in build/release
#
# Tools: sqlite3 and /usr/bin/time are installed with apt-get when missing;
# DuckDB is the npm package @duckdb/node-api, installed into bench/.duckdb/
# when missing (needs node and npm).
#
# Times are wall-clock seconds; memory is the peak resident set size.
# MB means 10^6 bytes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

smoke=0
if [ "${1:-}" = --smoke ]; then
  smoke=1
  shift
fi

natjoin=$root/build/release/natjoin
gen=$root/build/release/bench/natjoin_gen
duckdb_dir=$root/bench/.duckdb
duckdb_version=1.5.6-r.1

if [ "$smoke" = 1 ]; then
  SCALE=${SCALE:-0.01}
  N=1
  PEERS=""
  NATJOIN_BUDGET=${NATJOIN_BUDGET:-20}
  for tool in "$natjoin" "$gen"; do
    if [ ! -x "$tool" ]; then
      echo "no $tool: build the release preset first" >&2
      exit 2
    fi
  done
  data=$(mktemp -d)
  trap 'rm -rf "$data"' EXIT
else
  data=$root/bench/data
fi

SCALE=${SCALE:-1}
N=${N:-5}
N_SQLITE=${N_SQLITE:-$N}
N_DUCKDB=${N_DUCKDB:-$N}
BUDGET=${BUDGET:-60}
NATJOIN_BUDGET=${NATJOIN_BUDGET:-$BUDGET}
SQLITE_BUDGET=${SQLITE_BUDGET:-$BUDGET}
DUCKDB_BUDGET=${DUCKDB_BUDGET:-$BUDGET}
PEERS=${PEERS-sqlite3 duckdb}
CHECK_ROWS=${CHECK_ROWS:-2000000}

use_sqlite=0
use_duckdb=0
for peer in $PEERS; do
  case $peer in
    sqlite3) use_sqlite=1 ;;
    duckdb) use_duckdb=1 ;;
    *)
      echo "unknown peer $peer (sqlite3, duckdb)" >&2
      exit 2
      ;;
  esac
done

# ---- tools ------------------------------------------------------------------

if [ "$smoke" = 0 ]; then
  need_apt=()
  [ "$use_sqlite" = 0 ] || command -v sqlite3 >/dev/null 2>&1 || need_apt+=(sqlite3)
  [ -x /usr/bin/time ] || need_apt+=(time)
  if [ ${#need_apt[@]} -gt 0 ]; then
    echo "installing ${need_apt[*]}" >&2
    apt-get update >/dev/null && apt-get install -y "${need_apt[@]}" >/dev/null
  fi

  if [ "$use_duckdb" = 1 ] && [ ! -f "$duckdb_dir/node_modules/@duckdb/node-api/package.json" ]; then
    echo "installing @duckdb/node-api $duckdb_version into $duckdb_dir" >&2
    mkdir -p "$duckdb_dir"
    npm install --prefix "$duckdb_dir" --no-audit --no-fund --loglevel=error \
      "@duckdb/node-api@$duckdb_version" >/dev/null
  fi

  if [ "${SKIP_BUILD:-0}" != 1 ]; then
    echo "building the release preset" >&2
    cmake --preset release >/dev/null
    cmake --build --preset release --target natjoin natjoin_gen >/dev/null
  fi
fi

workloads=("$@")
if [ ${#workloads[@]} -eq 0 ]; then
  mapfile -t workloads < <("$gen" --list)
fi

# ---- helpers ----------------------------------------------------------------

# timed LOG SECONDS CMD...: runs CMD, stopping it after SECONDS, and appends
# "SECONDS PEAK_KB" to LOG. Wall time is taken with nanosecond clocks around
# /usr/bin/time, whose own %e has only centiseconds; its %M gives the peak
# RSS (without /usr/bin/time, as in --smoke, the peak is 0). Returns 0, 1 if
# CMD failed, 2 if it was stopped.
timed() {
  local log=$1 limit=$2
  shift 2
  local tf start end rc=0
  tf=$(mktemp)
  start=$(date +%s%N)
  if [ -x /usr/bin/time ]; then
    timeout -k 5 "$limit" /usr/bin/time -f "%M" -o "$tf" "$@" || rc=$?
  else
    timeout -k 5 "$limit" "$@" || rc=$?
    echo 0 >"$tf"
  fi
  end=$(date +%s%N)
  if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    rm -f "$tf"
    return 2
  fi
  if [ "$rc" -ne 0 ]; then
    echo "FAILED (status $rc): $*" >&2
    rm -f "$tf"
    return 1
  fi
  echo "$(((end - start) / 1000)) $(tail -n 1 "$tf")" | awk '{ printf "%.4f %d\n", $1 / 1e6, $2 }' >>"$log"
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

# measure LOG RUNS BUDGET AFTER_FIRST CMD...: up to RUNS timed runs of CMD
# within BUDGET seconds in all; AFTER_FIRST (a command name) is called once
# the first run has finished, while its output is complete. Sets `state` to
# ok, budget (the first run was stopped) or failed.
measure() {
  local log=$1 runs=$2 budget=$3 after_first=$4
  shift 4
  local i left rc
  state=ok
  for ((i = 0; i < runs; i++)); do
    left=$(total_seconds <"$log" | awk -v b="$budget" '{ if (b - $1 > 0) printf "%.3f", b - $1 }')
    [ -n "$left" ] || break
    rc=0
    timed "$log" "$left" "$@" || rc=$?
    if [ "$rc" -eq 2 ]; then
      [ "$i" -gt 0 ] || state=budget
      break
    fi
    if [ "$rc" -ne 0 ]; then
      state=failed
      break
    fi
    [ "$i" -gt 0 ] || "$after_first"
  done
}

# The rows of natjoin's output: the lines after the first line starting with
# "result(" (none of the generated relations has such a line).
natjoin_result() {
  local header
  header=$(grep -n -m 1 '^result(' "$1" | cut -d: -f1 || true)
  [ -n "$header" ] || return 1
  tail -n "+$((header + 1))" "$1"
}

sorted_digest() {
  LC_ALL=C sort -S 20% | md5sum | cut -d' ' -f1
}

# check TOOL ROWS: compares a row count with the generator's.
check_count() {
  if [ "$2" != "$expected" ]; then
    echo "MISMATCH: $1 on $w wrote $2 rows, expected $expected ($db)" >&2
    status=1
    return 1
  fi
}

after_natjoin() {
  if ! natjoin_result "$out" >"$out.rows"; then
    echo "MISMATCH: natjoin on $w wrote no result header ($db)" >&2
    status=1
    n_rows="$expected (natjoin: no result)"
    n_count="none"
    return
  fi
  n_count=$(wc -l <"$out.rows")
  if ! check_count natjoin "$n_count"; then
    n_rows="$expected (natjoin: $n_count)"
    rm -f "$out.rows"
    return
  fi
  if [ "$expected" -le "$CHECK_ROWS" ]; then
    ref_digest=$(sorted_digest <"$out.rows")
    compared=natjoin
  fi
  rm -f "$out.rows"
}

# after_peer TOOL FILE: the row count, and the sorted rows against those of
# the first program that wrote the right count (natjoin unless it ran out of
# its budget).
after_peer() {
  local got digest
  got=$(wc -l <"$2")
  check_count "$1" "$got" || return 0
  [ "$expected" -le "$CHECK_ROWS" ] || return 0
  digest=$(tr -d '\r' <"$2" | sorted_digest)
  if [ -z "$ref_digest" ]; then
    ref_digest=$digest
    compared=$1
  elif [ "$digest" != "$ref_digest" ]; then
    echo "MISMATCH: $1 on $w wrote other rows than ${compared%%,*} ($db)" >&2
    status=1
  else
    compared+=", $1"
  fi
}
after_sqlite() { after_peer sqlite3 "$sqout"; }
after_duckdb() { after_peer DuckDB "$dkout"; }

# cell LOG STATE BUDGET: "median_s peak_MB" of the runs, or what stopped them.
cell() {
  case $2 in
    ok) awk -v m="$(median <"$1")" -v k="$(max_kb <"$1")" 'BEGIN { printf "%.3f | %.1f", m, k * 1024 / 1e6 }' ;;
    budget) echo "> $3 | -" ;;
    skipped) echo "- | -" ;;
    *) echo "failed | -" ;;
  esac
}
ratio() { # peer median / natjoin median, when both finished
  if [ "$2" = ok ] && [ "$4" = ok ]; then
    awk -v p="$(median <"$1")" -v n="$(median <"$3")" 'BEGIN { if (n > 0) printf "%.3g", p / n; else printf "-" }'
  else
    echo "-"
  fi
}

# ---- runs -------------------------------------------------------------------

mkdir -p "$data"
status=0
rows_table=()
runs_table=()
smoke_lines=()

for w in "${workloads[@]}"; do
  db=$data/$w.db
  csv=$data/$w.csv
  out=$data/$w.natjoin.out
  sqout=$data/$w.sqlite.csv
  dkout=$data/$w.duckdb.csv
  script=$data/$w.sql
  rm -rf "$csv"

  echo "== $w: generating (scale $SCALE)" >&2
  if [ "$smoke" = 1 ]; then
    expected=$("$gen" --scale "$SCALE" "$w" "$db")
  else
    expected=$("$gen" --scale "$SCALE" "$w" "$db" "$csv")
  fi
  db_bytes=$(stat -c %s "$db")

  # The join list is the first line of the database: "join(R, S)".
  join_list=$(head -n 1 "$db" | sed 's/^[^(]*(//; s/)[[:space:]]*$//; s/[[:space:]]//g')

  echo "== $w: natjoin x up to $N" >&2
  nlog=$(mktemp)
  n_rows=$expected
  n_count="-"
  ref_digest=""
  compared=""
  measure "$nlog" "$N" "$NATJOIN_BUDGET" after_natjoin "$natjoin" "$db" "$out"
  n_state=$state
  rm -f "$out"
  if [ "$n_state" = failed ] || { [ "$smoke" = 1 ] && [ "$n_state" != ok ]; }; then
    echo "natjoin on $w: $n_state" >&2
    status=1
  fi

  if [ "$smoke" = 1 ]; then
    smoke_lines+=("$(printf '%-16s %-8s rows %s, expected %s' "$w" "$n_state" "$n_count" "$expected")")
    rm -f "$nlog" "$db"
    continue
  fi

  slog=$(mktemp)
  s_state=skipped
  if [ "$use_sqlite" = 1 ]; then
    # Every relation imported, then the join with natjoin's column order:
    # each attribute once, where it first occurs in the join list.
    columns=()
    for r in ${join_list//,/ }; do
      IFS=, read -r -a attributes <"$csv/$r.csv"
      for a in "${attributes[@]}"; do
        a=${a%$'\r'}
        [[ " ${columns[*]} " == *" \"$a\" "* ]] || columns+=("\"$a\"")
      done
    done
    {
      echo ".bail on"
      echo ".mode csv"
      for f in "$csv"/*.csv; do
        echo ".import \"$f\" \"$(basename "$f" .csv)\""
      done
      echo ".headers off"
      echo ".once \"$sqout\""
      from=""
      for r in ${join_list//,/ }; do
        from+="${from:+ NATURAL JOIN }\"$r\""
      done
      echo "SELECT $(IFS=,; echo "${columns[*]}") FROM $from;"
    } >"$script"

    echo "== $w: sqlite3 x up to $N_SQLITE" >&2
    measure "$slog" "$N_SQLITE" "$SQLITE_BUDGET" after_sqlite \
      sqlite3 -bail -batch :memory: ".read \"$script\""
    s_state=$state
    [ "$s_state" != failed ] || status=1
    rm -f "$sqout"
  fi

  dlog=$(mktemp)
  d_state=skipped
  if [ "$use_duckdb" = 1 ]; then
    echo "== $w: DuckDB x up to $N_DUCKDB" >&2
    measure "$dlog" "$N_DUCKDB" "$DUCKDB_BUDGET" after_duckdb \
      node "$root/bench/duckdb_join.mjs" "$csv" "$join_list" "$dkout"
    d_state=$state
    [ "$d_state" != failed ] || status=1
    rm -f "$dkout"
  fi

  n_cell=$(cell "$nlog" "$n_state" "$NATJOIN_BUDGET")
  s_cell=$(cell "$slog" "$s_state" "$SQLITE_BUDGET")
  d_cell=$(cell "$dlog" "$d_state" "$DUCKDB_BUDGET")
  per_db=$(awk -v k="$(max_kb <"$nlog")" -v db="$db_bytes" -v s="$n_state" \
    'BEGIN { if (s == "ok") printf "%.2f", k * 1024 / db; else printf "-" }')
  db_mb=$(awk -v db="$db_bytes" 'BEGIN { printf (db < 1e6 ? "%.3f" : "%.1f"), db / 1e6 }')
  rows_table+=("| $w | $db_mb | $n_rows | $n_cell | $per_db | $s_cell | $d_cell | $(ratio "$slog" "$s_state" "$nlog" "$n_state") | $(ratio "$dlog" "$d_state" "$nlog" "$n_state") |")
  runs_table+=("| $w | $(wc -l <"$nlog") | $(wc -l <"$slog") | $(wc -l <"$dlog") | ${compared:-no} |")
  rm -f "$nlog" "$slog" "$dlog"
done

if [ "$smoke" = 1 ]; then
  printf '%s\n' "${smoke_lines[@]}"
  [ "$status" -eq 0 ] && echo "smoke: every workload ran at scale $SCALE with the expected row count"
  exit "$status"
fi

echo
echo "scale $SCALE; medians of up to $N natjoin, $N_SQLITE sqlite3 and $N_DUCKDB DuckDB runs;" \
  "budgets natjoin ${NATJOIN_BUDGET}s, sqlite3 ${SQLITE_BUDGET}s, DuckDB ${DUCKDB_BUDGET}s"
echo
echo "| workload | DB size MB | rows | natjoin s | natjoin peak MB | natjoin peak / DB size | sqlite3 s | sqlite3 peak MB | DuckDB s | DuckDB peak MB | sqlite3 / natjoin | DuckDB / natjoin |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
printf '%s\n' "${rows_table[@]}"
echo
echo "| workload | natjoin runs | sqlite3 runs | DuckDB runs | same sorted rows |"
echo "|---|---:|---:|---:|---|"
printf '%s\n' "${runs_table[@]}"

if [ "$status" -ne 0 ]; then
  echo
  echo "MISMATCH or FAILURE: see the messages above"
fi
exit "$status"
