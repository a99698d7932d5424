// The database reader written as the plain character-by-character scan the
// file format describes: one character of look-ahead, whole-line reads, and
// strings for every name and value. It is the reference the real reader,
// which scans its buffer in place and many bytes at a time, is compared with.
#ifndef NATJOIN_FUZZ_REFERENCE_READER_H_
#define NATJOIN_FUZZ_REFERENCE_READER_H_

#include <string>
#include <string_view>
#include <vector>

namespace natjoin::test {

struct ReferenceRelation {
  std::string name;
  std::vector<std::string> attributes;
  std::vector<std::vector<std::string>> tuples;
};

struct ReferenceDatabase {
  std::vector<std::string> joinList;
  std::vector<ReferenceRelation> relations;
  // The file ended inside the join section, where what is kept of the join
  // list is not defined; no relation can follow then.
  bool endedInJoinSection = false;
};

ReferenceDatabase referenceReadDatabase(std::string_view text);

}  // namespace natjoin::test

#endif  // NATJOIN_FUZZ_REFERENCE_READER_H_
