// The result section's text: the header line with the visible attribute
// names, and rows made of the visible values of one chosen tuple per
// operand, separated by "," where something was written before.
#ifndef NATJOIN_JOIN_ROWS_H_
#define NATJOIN_JOIN_ROWS_H_

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "join/columns.h"
#include "join/planning.h"
#include "output/writer.h"

namespace natjoin {

// Writes "\nresult(" with the visible names of all operands and ")\n".
void writeHeader(OutputWriter& out, const Operands& operands, const HiddenColumns& hiddenColumns);

// Writes rows. The tuples chosen at the outer levels are prepared once
// each, so a row costs a write per level: the part of a tuple that rows show
// is at hand, except where hidden columns must be cut out of it.
class RowWriter {
 public:
  // `encoded` tells where the part of a tuple that rows show begins.
  RowWriter(OutputWriter& out, const Operands& operands, const HiddenColumns& hidden,
            const EncodedView& encoded)
      : out_(out),
        operands_(operands),
        encoded_(encoded),
        hidden_(hidden),
        cutsValues_(operands.size()),
        pieceText_(operands.size()),
        pieceHasValue_(operands.size(), false),
        storageOf_(operands.size(), 0),
        chosen_(operands.size(), 0),
        stale_(operands.size(), 0) {
    for (std::size_t operandIdx = 0; operandIdx < operands.size(); ++operandIdx) {
      const auto& bits = hidden[operandIdx];
      cutsValues_[operandIdx] = bits.any() && hiddenPrefixOf(bits) == 0;
      if (cutsValues_[operandIdx]) {
        storageOf_[operandIdx] = static_cast<std::uint32_t>(pieceStorage_.size());
        pieceStorage_.emplace_back();
      }
    }
  }

  // Takes `tuple` at outer level `level`. Its visible values are made ready
  // when the first row with it is written, since most tuples chosen at the
  // outer levels of a join with a small result lead to no row: a view of
  // the stored tuple when nothing of it is hidden (no copy, however long
  // the tuple), else a string made once per chosen tuple.
  void choose(std::size_t level, std::uint32_t tuple) {
    chosen_[level] = tuple;
    stale_[level] = 1;
  }

  // Writes the row of the outer levels' chosen tuples and `tuple` at the
  // last level.
  void writeRow(std::uint32_t tuple) {
    const std::size_t last = operands_.size() - 1;
    bool written = false;
    for (std::size_t outer = 0; outer < last; ++outer) {
      if (stale_[outer] != 0) prepare(outer);
      if (!pieceHasValue_[outer]) continue;
      if (written) out_.put(',');
      out_.write(pieceText_[outer]);
      written = true;
    }
    appendVisible(out_, last, tuple, written);
    out_.put('\n');
    out_.endRow();
  }

 private:
  // Makes the visible values of the tuple chosen at `level` ready.
  void prepare(std::size_t level) {
    stale_[level] = 0;
    const std::uint32_t tuple = chosen_[level];
    bool written = false;
    if (cutsValues_[level]) {
      std::string& storage = pieceStorage_[storageOf_[level]];
      storage.clear();
      appendVisible(storage, level, tuple, written);
      pieceText_[level] = storage;
    } else {
      const TupleView view = encoded_.operands[level].shown(tuple);
      written = view.hasValues();
      pieceText_[level] = view.text();
    }
    pieceHasValue_[level] = written;
  }

  static void append(std::string& to, std::string_view text) { to += text; }
  static void append(OutputWriter& to, std::string_view text) { to.write(text); }
  static void append(std::string& to, char c) { to += c; }
  static void append(OutputWriter& to, char c) { to.put(c); }

  // Appends the visible values of `tuple` of `operandIdx`, each after a ","
  // if something was written before it.
  template <typename Target>
  void appendVisible(Target& to, std::size_t operandIdx, std::uint32_t tuple, bool& written) const {
    const TupleView view = encoded_.operands[operandIdx].shown(tuple);
    if (!view.hasValues()) return;
    if (!cutsValues_[operandIdx]) {
      if (written) append(to, ',');
      append(to, view.text());
      written = true;
      return;
    }
    const auto& bits = hidden_[operandIdx];
    view.forEachValue([&](std::size_t position, std::string_view value) {
      if (position < bits.size() && bits[position]) return;
      if (written) append(to, ',');
      append(to, value);
      written = true;
    });
  }

  OutputWriter& out_;
  const Operands& operands_;
  const EncodedView encoded_;
  const HiddenColumns& hidden_;
  // Per operand, whether its hidden columns are cut out value by value
  // (they are not its leading columns only).
  std::vector<bool> cutsValues_;
  std::vector<std::string_view> pieceText_;
  std::vector<bool> pieceHasValue_;  // an empty value still counts
  // The pieces of the operands whose values are cut out, by storageOf_.
  std::vector<std::string> pieceStorage_;
  std::vector<std::uint32_t> storageOf_;
  // Per outer level, the chosen tuple, and whether its piece is yet to be
  // made for it.
  std::vector<std::uint32_t> chosen_;
  std::vector<std::uint8_t> stale_;
};

}  // namespace natjoin

#endif  // NATJOIN_JOIN_ROWS_H_
