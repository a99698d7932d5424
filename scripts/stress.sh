#!/usr/bin/env bash
# Runs the release binary on a set of large or oddly shaped databases and
# prints, for each, the database and output sizes, the wall time, the peak
# resident memory and its ratio to the database size. Each run must exit 0
# and its output must pass a sanity check (row count, header width), or the
# script fails. A peak above twice the database size is flagged in the
# table but does not fail the script. Not part of CI: it needs minutes and a few GB of disk.
#
# The data is generated deterministically into a temporary folder that is
# removed at the end.
#
# Usage: scripts/stress.sh [CASE...]   (default: all cases)
#   cases: big-db long-line many-relations wide-header long-join-list
#          chain-64 many-empty-lines
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [[ ! -x /usr/bin/time ]]; then
  echo "stress.sh needs GNU time (/usr/bin/time): apt-get install time" >&2
  exit 2
fi

cmake --preset release >/dev/null
cmake --build --preset release --target natjoin >/dev/null
natjoin=$root/build/release/natjoin

work=$(mktemp -d "${TMPDIR:-/tmp}/natjoin-stress.XXXXXX")
trap 'rm -rf "$work"' EXIT

all_cases=(big-db long-line many-relations wide-header long-join-list chain-64 many-empty-lines)
cases=("${@:-${all_cases[@]}}")

# gen.py CASE FILE: writes the database of CASE to FILE and prints the
# expected "ROWS HEADER_FIELDS" of its result section.
cat >"$work/gen.py" <<'PY'
import sys

MB = 1 << 20

def big_db(f):
    # 1 GB, almost all of it in relations outside the join list; the join
    # itself is a 1:1 match of two 100,000-tuple relations.
    rows = 100_000
    f.write(b"join(Key, Val)\n\n")
    f.write(b"Key(k, name)\n")
    f.write(b"".join(b"%d,name %d\n" % (i, i) for i in range(rows)))
    f.write(b"\nVal(k, amount)\n")
    f.write(b"".join(b"%d,%d\n" % ((i * 7919) % rows, i) for i in range(rows)))
    line = b"alpha %06d, beta, gamma gamma gamma, 1234567890, delta delta delta delta delta\n"
    body = b"".join(line % i for i in range(1000))
    block = 0
    while f.tell() < 1024 * MB:
        f.write(b"\nOther%d(a, b, c, d, e)\n" % block)
        f.write(body)
        block += 1
    return rows, 3

def long_line(f):
    # One tuple of 100 MB: about 11 million short values on one line.
    f.write(b"join(R)\n\nR(a, b)\n")
    chunk = b",".join(b"v%07d" % i for i in range(100_000))
    written = 0
    first = True
    while written < 100 * MB:
        if not first:
            f.write(b",")
        f.write(chunk)
        written += len(chunk) + 1
        first = False
    f.write(b"\n")
    return 1, 2

def many_relations(f):
    # 1,000,000 relations; the join takes three of them, the last at the end
    # of the file.
    n = 1_000_000
    f.write(b"join(R0, R500000, R999999)\n")
    for i in range(n):
        f.write(b"\nR%d(a, c%d)\n1,x%d\n2,y%d\n" % (i, i, i, i))
    return 2, 4

def wide_header(f):
    # A header of 1,000,000 attributes, with two tuples of full width,
    # joined with a small relation on the last attribute.
    n = 1_000_000
    f.write(b"join(W, S)\n\nW(")
    f.write(b", ".join(b"c%d" % i for i in range(n)))
    f.write(b")\n")
    for t in range(2):
        f.write(b",".join(b"%d" % (i * (t + 1)) for i in range(n)))
        f.write(b"\n")
    f.write(b"\nS(c%d, z)\n%d,first\n%d,second\n%d,third\n" % (n - 1, n - 1, 2 * (n - 1), n - 1))
    return 3, n + 1

def long_join_list(f):
    # A join list of 100,000 names; one in a thousand names a relation (one
    # tuple each, the first ten tuples), the others name nothing.
    n = 100_000
    f.write(b"join(")
    f.write(b", ".join(b"N%d" % i for i in range(n)))
    f.write(b")\n")
    for i in range(0, n, 1000):
        f.write(b"\nN%d(c%d)\n" % (i, i))
        f.write(b"".join(b"v%d\n" % t for t in range(10 if i == 0 else 1)))
    return 10, n // 1000

def chain_64(f):
    # R0(a0, a1), R1(a1, a2), ..., R63(a63, a64): each step maps 20,000 keys
    # one to one, scrambled; all but the last operand have 5,000 more tuples
    # that match the operand before but nothing after, so partial chains
    # die at every step. A nested loop would visit 25,000^63 combinations.
    ops, keys, dangling = 64, 20_000, 5_000
    f.write(b"join(" + b",".join(b"R%d" % k for k in range(ops)) + b")\n")
    for k in range(ops):
        f.write(b"\nR%d(a%d, a%d)\n" % (k, k, k + 1))
        f.write(b"".join(b"%d,%d\n" % (x, (x * 7 + k) % keys) for x in range(keys)))
        if k + 1 < ops:
            f.write(b"".join(b"%d,dead%d\n" % (x, x) for x in range(dangling)))
    return keys, ops + 1

def many_empty_lines(f):
    # Ten small blocks with 100,000 empty lines between each two.
    blocks = 10
    f.write(b"join(B0, B9)\n")
    gap = b"\n" * 100_000
    for i in range(blocks):
        f.write(gap)
        f.write(b"B%d(k, v%d)\n1,a\n2,b\n3,c\n" % (i, i))
    return 3, 3

CASES = {
    "big-db": big_db, "long-line": long_line, "many-relations": many_relations,
    "wide-header": wide_header, "long-join-list": long_join_list,
    "chain-64": chain_64, "many-empty-lines": many_empty_lines,
}

with open(sys.argv[2], "wb", buffering=8 * MB) as out:
    rows, fields = CASES[sys.argv[1]](out)
print(rows, fields)
PY

# check.py FILE: prints "ROWS HEADER_FIELDS" of the output file's result
# section, the text after its last "result(" line.
cat >"$work/check.py" <<'PY'
import sys
rows, fields, found = 0, 0, False
with open(sys.argv[1], "rb", buffering=1 << 23) as f:
    for line in f:
        if line.startswith(b"result("):
            found, rows = True, 0
            fields = line.count(b",") + 1 if line.rstrip(b"\n") != b"result()" else 0
        elif found:
            rows += 1
print(rows if found else -1, fields)
PY

printf '%-17s %10s %10s %8s %10s %8s %8s  %s\n' \
  case "db MB" "out MB" "wall s" "peak MB" "peak/db" "MB/s" check
failures=0
for name in "${cases[@]}"; do
  db=$work/$name.db
  out=$work/$name.out
  if [[ $name == big-db ]]; then
    # The database and its echo: about 2.2 GB, plus room to spare.
    free_kb=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
    if ((free_kb < 4 * 1024 * 1024)); then
      echo "$name: skipped, less than 4 GB free in $work" >&2
      failures=$((failures + 1))
      continue
    fi
  fi
  expected=$(python3 "$work/gen.py" "$name" "$db")
  status=0
  /usr/bin/time -f "%e %M" -o "$work/time" "$natjoin" "$db" "$out" >"$work/stdout" || status=$?
  read -r wall peak_kb <"$work/time"
  db_bytes=$(stat -c %s "$db")
  out_bytes=$(stat -c %s "$out" 2>/dev/null || echo 0)
  got=$(python3 "$work/check.py" "$out")
  verdict=ok
  if ((status != 0)); then
    verdict="exit status $status: $(cat "$work/stdout")"
  elif [[ $got != "$expected" ]]; then
    verdict="rows/fields $got, expected $expected"
  fi
  [[ $verdict == ok ]] || failures=$((failures + 1))
  awk -v n="$name" -v db="$db_bytes" -v out="$out_bytes" -v wall="$wall" -v peak="$peak_kb" \
      -v v="$verdict" -v got="$got" 'BEGIN {
    mb = 1048576
    rate = wall > 0 ? sprintf("%.1f", db / mb / wall) : "-"
    # Memory beyond twice the database, unless it is the process baseline.
    if (peak * 1024 > 2 * db && peak > 16384) v = v ", peak over 2x the database"
    printf "%-17s %10.1f %10.1f %8.2f %10.1f %8.2f %8s  %s (rows fields: %s)\n",
           n, db / mb, out / mb, wall, peak / 1024, peak * 1024 / db, rate, v, got
  }'
  rm -f "$db" "$out"
done
exit $((failures > 0))
