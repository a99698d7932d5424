#include "reader/reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace natjoin {

namespace {

bool isWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// Cuts a trimmed text at every "," into trimmed pieces; a "," that ends the
// text begins no further piece, and an empty text has no pieces.
template <typename Fn>
void splitPieces(std::string_view text, Fn&& fn) {
  if (text.empty()) return;
  if (text.back() == ',') text.remove_suffix(1);
  for (;;) {
    const std::size_t comma = text.find(',');
    fn(trimmed(text.substr(0, comma)));
    if (comma == std::string_view::npos) return;
    text.remove_prefix(comma + 1);
  }
}

#if defined(__SSE2__)
std::uint32_t byteMask(__m128i bytes, char c) {
  return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
}
__m128i load16(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
#endif

// Finds the first LF in [p, end), or end if there is none, and tells whether
// a blank or tab comes before it. One pass does both: lines are short, and
// most of them hold no blank that would need trimming.
const char* findLineEnd(const char* p, const char* end, bool& hasBlank) {
#if defined(__SSE2__)
  while (end - p >= 16) {
    const __m128i bytes = load16(p);
    const std::uint32_t lf = byteMask(bytes, '\n');
    const std::uint32_t blank = byteMask(bytes, ' ') | byteMask(bytes, '\t');
    if (lf != 0) {
      const int at = __builtin_ctz(lf);
      if ((blank & ((1u << at) - 1)) != 0) hasBlank = true;
      return p + at;
    }
    if (blank != 0) hasBlank = true;
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    if (*p == '\n') return p;
    if (isBlankOrTab(*p)) hasBlank = true;
  }
  return end;
}

// Walks the text with the two kinds of read the format is defined by: a
// single-character read that sets the current character, and a line read.
// The end of the file counts as reached once a read has run into it.
class Scanner {
 public:
  explicit Scanner(std::span<char> text) : data_(text.data()), size_(text.size()) {}

  bool atEnd() const { return atEnd_; }
  char current() const { return current_; }
  void setCurrent(char c) { current_ = c; }
  // Position of the current character, valid when it was not a CR LF pair.
  std::size_t currentPos() const { return pos_ - 1; }
  std::size_t pos() const { return pos_; }
  char* data() const { return data_; }

  // Returns false at the end of the file. A CR LF pair reads as one LF.
  bool readChar() {
    if (pos_ >= size_) {
      atEnd_ = true;
      return false;
    }
    char c = data_[pos_++];
    if (c == '\r' && pos_ < size_ && data_[pos_] == '\n') {
      c = '\n';
      ++pos_;
    }
    current_ = c;
    return true;
  }

  // Skips white space from the current character on.
  void skipWhiteSpace() {
    while (isWhiteSpace(current_) && !atEnd_) readChar();
  }

  // Takes the characters up to the next LF and consumes the LF; tells
  // whether the line holds a blank or tab. Returns false, with the end of
  // the file reached, when no character is left.
  bool readLine(std::size_t& begin, std::size_t& end, bool& hasBlank) {
    if (pos_ >= size_) {
      atEnd_ = true;
      return false;
    }
    begin = pos_;
    hasBlank = false;
    const char* lf = findLineEnd(data_ + pos_, data_ + size_, hasBlank);
    end = static_cast<std::size_t>(lf - data_);
    if (end == size_) {
      pos_ = size_;
      atEnd_ = true;
      return true;
    }
    pos_ = end + 1;
    if (end > begin && data_[end - 1] == '\r') --end;
    return true;
  }

 private:
  char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool atEnd_ = false;
  char current_ = '\0';
};

// The join section: everything up to the first "(" is skipped, then names
// separated by "," up to ")" and the end of that line. Blanks and tabs inside
// a name are dropped; only "," and ")" end a name, so a name can run on over
// a line end. Returns false if the file ended inside the section.
bool readJoinList(Scanner& in, JoinList& joinList) {
  do {
    if (!in.readChar()) return false;
  } while (in.current() != '(');

  for (;;) {
    const char c = in.current();
    if (c == '(' || c == ')' || c == ',' || c == ' ') {
      if (!in.readChar()) return false;
      if (in.current() == '\n') return true;
      continue;
    }
    std::string& name = joinList.emplace_back();
    while (in.current() != ')') {
      if (!isBlankOrTab(in.current())) name += in.current();
      if (!in.readChar()) return false;
      if (in.current() == ',') break;
    }
  }
}

// Header line: the name runs up to the first "(" or blank; the rest, trimmed
// and stripped of its first and last character (the parentheses in a
// well-formed file), holds the attribute names. The names are rewritten in
// place, trimmed and joined by ",", as the relation keeps them.
void readHeader(char* begin, std::size_t size, Relation& relation) {
  const std::string_view header = trimmed(std::string_view(begin, size));
  const std::size_t nameEnd = std::min(header.find('('), header.find(' '));
  relation.setNameView(header.substr(0, nameEnd));
  if (nameEnd == std::string_view::npos) return;
  std::string_view attributes = trimmed(header.substr(nameEnd));
  if (attributes.size() <= 2) return;  // nothing left between the two ends
  attributes = trimmed(attributes.substr(1, attributes.size() - 2));
  // Each name is written at or before where it stood, behind the name of
  // the relation.
  char* const namesBegin = begin + (attributes.data() - begin);
  char* out = namesBegin;
  std::uint64_t count = 0;
  splitPieces(attributes, [&](std::string_view piece) {
    if (count++ > 0) *out++ = ',';
    std::memmove(out, piece.data(), piece.size());
    out += piece.size();
  });
  relation.setAttributes(std::string_view(namesBegin, static_cast<std::size_t>(out - namesBegin)),
                         count);
}

// Writes the trimmed, comma-joined values of the line [begin, end) at `out`
// followed by "\n", and returns the position after it. The result is never
// longer than the line plus its line end, so the text can be rewritten in
// place from front to back (one byte of slack covers a last line without LF).
char* normalizeTuple(const char* begin, const char* end, bool hasBlank, char* out) {
  // Without blanks or tabs the line is trimmed already (it holds no LF).
  if (hasBlank) {
    while (end > begin && isWhiteSpace(end[-1])) --end;
    while (begin < end && isWhiteSpace(*begin)) ++begin;
  }
  if (begin == end) return out;  // a tuple without values takes no bytes

  if (!hasBlank) {
    if (end[-1] == ',') --end;  // a final "," begins no further value
    const auto length = static_cast<std::size_t>(end - begin);
    if (out != begin) std::memmove(out, begin, length);
    out += length;
  } else {
    bool first = true;
    splitPieces(std::string_view(begin, static_cast<std::size_t>(end - begin)),
                [&](std::string_view piece) {
                  if (!first) *out++ = ',';
                  first = false;
                  std::memmove(out, piece.data(), piece.size());
                  out += piece.size();
                });
  }
  *out++ = '\n';
  return out;
}

}  // namespace

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isWhiteSpace(text.back())) text.remove_suffix(1);
  while (!text.empty() && isWhiteSpace(text.front())) text.remove_prefix(1);
  return text;
}

void readDatabase(std::span<char> text, JoinList& joinList, Relations& relations) {
  Scanner in(text);
  const bool complete = readJoinList(in, joinList);
  joinList.shrink_to_fit();  // a list of many names is kept all run long
  if (!complete) return;

  in.skipWhiteSpace();
  while (!in.atEnd()) {
    Relation& relation = relations.emplace_back();

    // The header's first character was taken by a single-character read and
    // stands right before the rest of its line.
    const std::size_t headerBegin = in.currentPos();
    std::size_t lineBegin = 0;
    std::size_t lineEnd = in.pos();
    bool hasBlank = false;
    in.readLine(lineBegin, lineEnd, hasBlank);
    readHeader(in.data() + headerBegin, lineEnd - headerBegin, relation);
    in.setCurrent(' ');

    // Tuples are rewritten in place over their own lines, behind the header.
    char* const tuplesBegin = in.data() + in.pos();
    char* out = tuplesBegin;
    std::vector<std::uint64_t> checkpoints;
    std::vector<std::uint64_t> empties;
    std::uint64_t count = 0;
    while (in.readLine(lineBegin, lineEnd, hasBlank) && lineBegin != lineEnd) {
      if (count > 0 && count % Relation::kCheckpointEvery == 0) {
        checkpoints.push_back(static_cast<std::uint64_t>(out - tuplesBegin));
      }
      char* const tupleEnd =
          normalizeTuple(in.data() + lineBegin, in.data() + lineEnd, hasBlank, out);
      if (tupleEnd == out) empties.push_back(count);
      out = tupleEnd;
      ++count;
    }
    relation.setTuples(std::string_view(tuplesBegin, static_cast<std::size_t>(out - tuplesBegin)),
                       count, std::move(checkpoints), std::move(empties));

    in.skipWhiteSpace();
  }
}

}  // namespace natjoin
