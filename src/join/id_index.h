// An index of one operand's alive tuples on the ids in some of its slots:
// for each key, the tuples holding it, in ascending tuple order, so that a
// lookup yields candidates in the order of the nested loop.
//
// The tuples are grouped by the leading ids of the key, and where the key
// has more ids than that, sorted within a group by the rest, which a lookup
// finds by binary search. The leading ids are all of the key where their
// combinations are few (no more than a few per tuple): a key is then its own
// group number, read in mixed radix, with no hashing. Otherwise the leading
// id is the first one alone, its group found directly where its variable
// has few ids, else through a hash table. Slots are given in the order their
// values are bound, earliest first, so lookups in a row of the enumeration
// share the leading ids and find their group in the cache.
//
// An index may also carry, beside each member, its ids in some other slots,
// so that a walk needing only those ids of the tuples it finds reads them
// from one place instead of from each tuple's row at a random place.
//
// Cost: 4 bytes per indexed tuple, 4 per leading group, 4 per id beyond the
// leading ones per tuple, 4 per carried id per tuple, and the hash table
// (KeyTable) of hashed groups. Built on several threads, 4 bytes per group
// and thread while building, at most 4 per tuple.
#ifndef NATJOIN_JOIN_ID_INDEX_H_
#define NATJOIN_JOIN_ID_INDEX_H_

#include <cstdint>
#include <span>
#include <vector>

#include "join/columns.h"
#include "join/key_table.h"
#include "join/small_array.h"

namespace natjoin {

class IdIndex {
 public:
  // Indexes `operand`'s alive tuples on `slots` (no repeats; none makes one
  // group of all alive tuples), carrying their ids in `carried`, on up to
  // `threads` threads where the operand is large. The index is the same at
  // any number of threads.
  IdIndex(const EncodedOperand& operand, std::vector<std::uint32_t> slots,
          KeyTable::HashFn hash = hashIds, std::vector<std::uint32_t> carried = {},
          unsigned threads = 1);

  // How many of `slots` lead the groups of an index on them: all where
  // their combinations are few, else the first.
  static std::size_t leadingFor(const EncodedOperand& operand,
                                std::span<const std::uint32_t> slots);

  const std::vector<std::uint32_t>& slots() const { return slots_; }
  const std::vector<std::uint32_t>& carriedSlots() const { return carriedSlots_; }

  // Where each of `slots` is among carriedSlots(); empty where one of them
  // is not carried.
  std::vector<std::uint32_t> carriedPlaces(std::span<const std::uint32_t> slots) const;
  // The carried ids of the first tuple of `found`, a lookup's result, and
  // after them those of the others, carriedSlots().size() per tuple.
  const std::uint32_t* carried(std::span<const std::uint32_t> found) const {
    const auto first = static_cast<std::size_t>(found.data() - members_.data());
    return carried_.data() + first * carriedSlots_.size();
  }

  // Where `member`, a tuple of a lookup's result, is among all members,
  // and the member at such a place: a place takes 4 bytes to keep.
  std::uint32_t placeOf(const std::uint32_t* member) const {
    return static_cast<std::uint32_t>(member - members_.data());
  }
  std::uint32_t memberAt(std::uint32_t place) const { return members_[place]; }
  // The carried ids of the member at `place`.
  const std::uint32_t* carriedAt(std::uint32_t place) const {
    return carried_.data() + std::size_t{place} * carriedSlots_.size();
  }

  // The tuples whose ids in slots() equal `key`, ascending; empty if none.
  std::span<const std::uint32_t> lookup(const std::uint32_t* key) const {
    return members(groupOf(key), key);
  }

  // The same lookup in steps, for many keys at once, each step's reads
  // fetched for all keys before the next step reads them: the hash slot of
  // the key's group (hashed groups only), the group, then its members.
  void prefetchSlot(const std::uint32_t* key) const {
    if (hashed_) table_.prefetch(key);
  }
  // The group of `key`, or KeyTable::kNone where no member has its leading
  // ids.
  std::uint32_t groupOf(const std::uint32_t* key) const {
    if (hashed_) return table_.find(key);
    std::uint64_t mixed = 0;
    for (std::size_t keyIdx = 0; keyIdx < leadingDomains_.size(); ++keyIdx) {
      if (key[keyIdx] >= leadingDomains_[keyIdx]) return KeyTable::kNone;
      mixed = mixed * leadingDomains_[keyIdx] + key[keyIdx];
    }
    return static_cast<std::uint32_t>(mixed);
  }
  void prefetchGroupOf(std::uint32_t group) const {
    if (group != KeyTable::kNone) __builtin_prefetch(groupStart_.data() + group);
  }
  // The members of `group` whose ids equal `key`: lookup(key) where `group`
  // is groupOf(key).
  std::span<const std::uint32_t> members(std::uint32_t group, const std::uint32_t* key) const {
    if (group == KeyTable::kNone) return {};
    std::uint32_t begin = groupStart_[group];
    std::uint32_t end = groupStart_[group + 1];
    if (restWidth_ > 0) narrow(key + (slots_.size() - restWidth_), begin, end);
    return {members_.data() + begin, end - begin};
  }

  // Where the leading ids are not all of the key, the group of `key`'s
  // leading ids with every member's ids after them: members sorted by those
  // ids (restWidth() per member, in `rest`), then by tuple number.
  struct SortedGroup {
    const std::uint32_t* members = nullptr;
    const std::uint32_t* rest = nullptr;
    std::uint32_t size = 0;
  };
  SortedGroup sortedGroup(const std::uint32_t* key) const {
    const std::uint32_t group = groupOf(key);
    if (group == KeyTable::kNone) return {};
    const std::uint32_t begin = groupStart_[group];
    return {members_.data() + begin, restKeys_.data() + std::size_t{begin} * restWidth_,
            groupStart_[group + 1] - begin};
  }
  std::size_t restWidth() const { return restWidth_; }

  // Lookups of keys known ahead run faster when the processor is asked to
  // fetch what they read a few keys before: first where the key's group
  // starts, then, once that is at hand, its members.
  void prefetchGroup(const std::uint32_t* key) const {
    if (hashed_) return;
    const std::uint32_t number = groupOf(key);
    if (number != KeyTable::kNone) __builtin_prefetch(groupStart_.data() + number);
  }
  void prefetchMembers(const std::uint32_t* key) const {
    const std::uint32_t number = groupOf(key);
    if (number != KeyTable::kNone) __builtin_prefetch(members_.data() + groupStart_[number]);
  }
  // How many leading ids of a key find its group: the prefetches above
  // read no more of the key than these.
  std::size_t leadingWidth() const { return slots_.size() - restWidth_; }
  // Fetches the ids after the leading ones of the group's first members,
  // which a lookup searches.
  void prefetchRest(const std::uint32_t* key) const {
    const std::uint32_t number = groupOf(key);
    if (number == KeyTable::kNone || restWidth_ == 0) return;
    // The first ids and the last: a group of a few dozen members spans a
    // cache line or two.
    const std::uint32_t begin = groupStart_[number];
    const std::uint32_t end = groupStart_[number + 1];
    __builtin_prefetch(restKeys_.data() + std::size_t{begin} * restWidth_);
    if (end > begin) __builtin_prefetch(restKeys_.data() + std::size_t{end} * restWidth_ - 1);
  }

 private:
  // Copies the carried ids of `tuple` to member place `place`.
  void carryIds(const EncodedOperand& operand, std::size_t place, std::uint32_t tuple) {
    const std::uint32_t* row = operand.row(tuple);
    const std::size_t width = carriedSlots_.size();
    for (std::size_t carriedIdx = 0; carriedIdx < width; ++carriedIdx) {
      carried_[place * width + carriedIdx] = row[carriedSlots_[carriedIdx]];
    }
  }
  // Sorts each group's members by the ids of the key after the `leading`
  // ones, and keeps those ids beside them.
  void sortRest(const EncodedOperand& operand, std::size_t leading);
  // Shrinks [begin, end) to the members whose rest of the key is `rest`.
  void narrow(const std::uint32_t* rest, std::uint32_t& begin, std::uint32_t& end) const;
  int compareRest(std::uint32_t member, const std::uint32_t* rest) const;

  std::vector<std::uint32_t> slots_;
  bool hashed_ = false;                        // leading group through table_
  std::vector<std::uint32_t> leadingDomains_;  // else per leading slot, its ids
  KeyTable table_;
  std::size_t restWidth_ = 0;  // ids after the leading ones
  // Arrays of 65,536 values or more are pages of their own, faulted in
  // as huge pages where the system allows (see SmallArray).
  SmallArray groupStart_;  // per group, where its members begin
  SmallArray members_;     // tuple numbers, grouped
  SmallArray restKeys_;    // restWidth_ ids per member
  std::vector<std::uint32_t> carriedSlots_;
  SmallArray carried_;  // carriedSlots_.size() ids per member
};

}  // namespace natjoin

#endif  // NATJOIN_JOIN_ID_INDEX_H_
