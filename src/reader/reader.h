// The database reader.
//
// A database file is a join section followed by relation blocks:
//
//   join(R, S)            <- text up to the first "(", then names up to ")"
//                         <- any number of empty or blank lines
//   R(a, b)               <- header: name, "(", attribute names, ")"
//   1,x                   <- tuple lines: values separated by ","
//   2,y
//                         <- an empty line (or the end of the file) ends it
//   S(b, c)
//   x,p
//
// Malformed input is never an error: every file is read by the same scanning
// rules, and whatever they make of it is stored. A CR directly before a LF is
// not data, so CR LF files read exactly like LF files; any other CR is data.
// Blanks, tabs and line feeds around names and values are dropped.
#ifndef NATJOIN_READER_READER_H_
#define NATJOIN_READER_READER_H_

#include <cstddef>
#include <span>
#include <string_view>

#include "model/relation.h"

namespace natjoin {

// Reads the database held in `text` and appends its join names to `joinList`
// and its relation blocks, in file order, to `relations`.
//
// The reader rewrites `text` in place (tuples are stored in their trimmed,
// comma-joined form) and the relations refer into it, so `text` must outlive
// them. REQUIRES: one writable byte of slack after the end of `text`.
void readDatabase(std::span<char> text, JoinList& joinList, Relations& relations);

// `text` without the blanks, tabs and line feeds at either end; what the
// reader drops around names and values.
std::string_view trimmed(std::string_view text);

}  // namespace natjoin

#endif  // NATJOIN_READER_READER_H_
