#include "reference_reader.h"

#include <cstddef>
#include <optional>

namespace natjoin::test {
namespace {

constexpr int kEnd = -1;

bool isWhite(int c) { return c == ' ' || c == '\t' || c == '\n'; }

std::string trimmed(std::string_view text) {
  while (!text.empty() && isWhite(text.back())) text.remove_suffix(1);
  while (!text.empty() && isWhite(text.front())) text.remove_prefix(1);
  return std::string(text);
}

std::vector<std::string> split(std::string_view text) {
  std::vector<std::string> pieces;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t comma = text.find(',', pos);
    const std::size_t end = comma == std::string_view::npos ? text.size() : comma;
    pieces.push_back(trimmed(text.substr(pos, end - pos)));
    pos = comma == std::string_view::npos ? text.size() : comma + 1;
  }
  return pieces;
}

// The file as the reader sees it: CR LF already turned into LF, and the end
// of the file noticed only once a read runs into it.
class Input {
 public:
  explicit Input(std::string_view raw) {
    for (std::size_t pos = 0; pos < raw.size(); ++pos) {
      if (raw[pos] == '\r' && pos + 1 < raw.size() && raw[pos + 1] == '\n') continue;
      text_ += raw[pos];
    }
  }

  int get() {
    if (pos_ == text_.size()) {
      ended_ = true;
      return kEnd;
    }
    return static_cast<unsigned char>(text_[pos_++]);
  }

  std::optional<std::string> getLine() {
    if (pos_ == text_.size()) {
      ended_ = true;
      return std::nullopt;
    }
    const std::size_t lineFeed = text_.find('\n', pos_);
    std::string line;
    if (lineFeed == std::string::npos) {
      line = text_.substr(pos_);
      pos_ = text_.size();
      ended_ = true;
    } else {
      line = text_.substr(pos_, lineFeed - pos_);
      pos_ = lineFeed + 1;
    }
    return line;
  }

  bool ended() const { return ended_; }

 private:
  std::string text_;
  std::size_t pos_ = 0;
  bool ended_ = false;
};

}  // namespace

ReferenceDatabase referenceReadDatabase(std::string_view text) {
  ReferenceDatabase db;
  Input in(text);

  int c = in.get();
  while (c != kEnd && c != '(') c = in.get();
  for (;;) {
    if (c == kEnd) {
      db.endedInJoinSection = true;
      return db;
    }
    if (c == '(' || c == ')' || c == ',' || c == ' ') {
      c = in.get();
      if (c == '\n') break;
      continue;
    }
    std::string name;
    while (c != ')' && c != kEnd) {
      if (c != ' ' && c != '\t') name += static_cast<char>(c);
      c = in.get();
      if (c == ',') break;
    }
    db.joinList.push_back(name);
  }

  while (isWhite(c) && !in.ended()) c = in.get();
  while (!in.ended()) {
    ReferenceRelation relation;
    std::string header(1, static_cast<char>(c));
    if (auto rest = in.getLine()) header += *rest;
    c = ' ';
    header = trimmed(header);
    const std::size_t nameEnd = std::min(header.find('('), header.find(' '));
    relation.name = header.substr(0, nameEnd);
    std::string attributeText = nameEnd == std::string::npos ? "" : trimmed(header.substr(nameEnd));
    attributeText =
        attributeText.size() <= 2 ? "" : trimmed(attributeText.substr(1, attributeText.size() - 2));
    relation.attributes = split(attributeText);
    while (auto line = in.getLine()) {
      if (line->empty()) break;
      relation.tuples.push_back(split(trimmed(*line)));
    }
    while (isWhite(c) && !in.ended()) c = in.get();
    db.relations.push_back(std::move(relation));
  }
  return db;
}

}  // namespace natjoin::test
