// The natural join of a benchmark workload in DuckDB, for bench/run.sh.
//
//   node bench/duckdb_join.mjs CSVDIR JOINLIST OUTPUT
//
// Loads every CSVDIR/NAME.csv (a header row of attribute names, then the
// tuples) into an in-memory table NAME with every column as text, as natjoin
// reads the whole database. JOINLIST is the relation names separated by ","
// in join order. The join is a NATURAL JOIN per step, or a CROSS JOIN where
// the next relation shares no attribute with the ones before it (DuckDB
// refuses a NATURAL JOIN without a common column). The columns are selected
// in natjoin's order, each attribute once, where it first occurs, and the
// rows are written to OUTPUT as CSV without a header.
//
// @duckdb/node-api is loaded from DUCKDB_NODE_DIR (default bench/.duckdb,
// where run.sh installs it). DUCKDB_THREADS, if set, limits DuckDB's threads.
import { readdirSync, openSync, readSync, closeSync } from 'node:fs';
import { createRequire } from 'node:module';
import { basename, dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const [csvDir, joinList, output] = process.argv.slice(2);
if (output === undefined || process.argv.length !== 5) {
  console.error('usage: node duckdb_join.mjs CSVDIR JOINLIST OUTPUT');
  process.exit(2);
}

const here = dirname(fileURLToPath(import.meta.url));
const moduleDir = process.env.DUCKDB_NODE_DIR ?? join(here, '.duckdb');
const { DuckDBInstance } = createRequire(join(resolve(moduleDir), 'package.json'))(
  '@duckdb/node-api',
);

const ident = (name) => `"${name.replaceAll('"', '""')}"`;
const literal = (text) => `'${text.replaceAll("'", "''")}'`;

// The first line of a file, read in small pieces.
function firstLine(path) {
  const fd = openSync(path, 'r');
  try {
    const chunk = Buffer.alloc(4096);
    let text = '';
    for (;;) {
      const n = readSync(fd, chunk, 0, chunk.length, null);
      text += chunk.toString('utf8', 0, n);
      const end = text.indexOf('\n');
      if (end >= 0) return text.slice(0, end).replace(/\r$/, '');
      if (n === 0) return text;
    }
  } finally {
    closeSync(fd);
  }
}

const columns = new Map();
for (const file of readdirSync(csvDir).filter((f) => f.endsWith('.csv')).sort()) {
  columns.set(basename(file, '.csv'), firstLine(join(csvDir, file)).split(','));
}

const operands = joinList.split(',').map((name) => name.trim());
const seen = [];
let from = '';
operands.forEach((name, i) => {
  const attributes = columns.get(name);
  if (attributes === undefined) {
    console.error(`duckdb_join: no ${name}.csv in ${csvDir}`);
    process.exit(2);
  }
  const operand = `${ident(name)} AS t${i}`;
  if (i === 0) {
    from = operand;
  } else {
    const shares = attributes.some((a) => seen.includes(a));
    from += `${shares ? ' NATURAL JOIN ' : ' CROSS JOIN '}${operand}`;
  }
  for (const a of attributes) if (!seen.includes(a)) seen.push(a);
});

const instance = await DuckDBInstance.create(':memory:');
const connection = await instance.connect();
if (process.env.DUCKDB_THREADS) {
  await connection.run(`SET threads = ${Number(process.env.DUCKDB_THREADS)}`);
}
for (const name of columns.keys()) {
  const path = join(csvDir, `${name}.csv`);
  await connection.run(
    `CREATE TABLE ${ident(name)} AS SELECT * FROM ` +
      `read_csv(${literal(path)}, all_varchar = true, header = true, delim = ',', quote = '')`,
  );
}
const select = `SELECT ${seen.map(ident).join(', ')} FROM ${from}`;
await connection.run(`COPY (${select}) TO ${literal(output)} (FORMAT csv, HEADER false)`);
connection.closeSync();
instance.closeSync();
