// Keys of value ids: the hash table and the index built on it, also when
// every key hashes alike, so that only the full comparison tells keys apart.
#include "join/key_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "join/classes.h"
#include "join/columns.h"
#include "join/id_index.h"
#include "test_util.h"

namespace natjoin {
namespace {

std::uint64_t collidingHash(const std::uint32_t* key, std::size_t width) {
  return width == 0 ? 0 : key[0] % 3;  // three buckets, same tag
}

TEST(KeyTable, NumbersKeysInOrderOfFirstInsertAndFindsThem) {
  for (const KeyTable::HashFn hash : {&hashIds, &collidingHash}) {
    KeyTable table(2, hash);
    std::vector<std::uint32_t> keys;
    for (std::uint32_t a = 0; a < 40; ++a) {
      for (std::uint32_t b = 0; b < 5; ++b) {
        const std::uint32_t key[] = {a, b};
        EXPECT_EQ(table.insert(key), a * 5 + b);
      }
    }
    EXPECT_EQ(table.size(), 200u);
    for (std::uint32_t a = 0; a < 40; ++a) {
      for (std::uint32_t b = 0; b < 5; ++b) {
        const std::uint32_t key[] = {a, b};
        EXPECT_EQ(table.insert(key), a * 5 + b);  // already there
        EXPECT_EQ(table.find(key), a * 5 + b);
        EXPECT_EQ(table.key(a * 5 + b)[1], b);
      }
    }
    const std::uint32_t missing[] = {3, 7};
    EXPECT_FALSE(table.contains(missing));
    table.clear();
    const std::uint32_t first[] = {0, 0};
    EXPECT_FALSE(table.contains(first));
    EXPECT_EQ(table.insert(missing), 0u);
  }
}

TEST(KeyTable, EmptyKeysAreAllOneKey) {
  KeyTable table(0);
  EXPECT_EQ(table.insert(nullptr), 0u);
  EXPECT_EQ(table.insert(nullptr), 0u);
  EXPECT_EQ(table.size(), 1u);
}

TEST(KeySet, KeepsKeysInOrderAddedAcrossBitmapTableAndClearing) {
  // One-id keys go to the bitmap until an id too large for it comes; keys
  // of two ids always go to the table. Either way the set numbers its keys
  // in the order added and forgets them all when cleared.
  constexpr std::uint32_t kLarge = KeySet::kMaxBitmapIds;
  for (const std::size_t width : {1u, 2u}) {
    KeySet set(width);
    for (int round = 0; round < 3; ++round) {
      std::vector<std::uint32_t> added = {70, 3, 64, 0, 129};
      if (round == 1) added.insert(added.begin() + 2, kLarge + 5);  // to the table mid-way
      std::vector<std::uint32_t> key(width, 9);
      for (const std::uint32_t id : added) {
        key[0] = id;
        EXPECT_TRUE(set.insert(key.data())) << id;
        EXPECT_FALSE(set.insert(key.data())) << id;
      }
      ASSERT_EQ(set.size(), added.size());
      for (std::uint32_t entry = 0; entry < added.size(); ++entry) {
        EXPECT_EQ(set.key(entry)[0], added[entry]);
        key[0] = added[entry];
        EXPECT_TRUE(set.contains(key.data()));
      }
      for (const std::uint32_t absent : {1u, 63u, 65u, 128u, 130u, 100000u, kLarge + 6}) {
        key[0] = absent;
        EXPECT_FALSE(set.contains(key.data())) << absent;
      }
      set.clear();
      EXPECT_EQ(set.size(), 0u);
      for (const std::uint32_t id : added) {
        key[0] = id;
        EXPECT_FALSE(set.contains(key.data())) << "round " << round << ", " << id;
      }
    }
  }
}

TEST(IdIndex, GroupsTuplesByKeyInAscendingOrderDespiteCollisions) {
  // Small domains group keys directly; huge ones hash the first id and sort
  // by the rest; a small first domain with huge others groups the first id
  // directly and sorts by the rest.
  const std::vector<std::vector<std::uint32_t>> domainSets = {
      {4, 3, 2}, {1u << 30, 1u << 30, 1u << 30}, {4, 1u << 30, 1u << 30}};
  for (const auto& domains : domainSets) {
    EncodedOperand operand;
    operand.width = 3;
    operand.domain = domains.data();
    // Tuple t holds (t % 4, t % 3, t % 2), stored in reverse key order so
    // that sorting matters; tuples 5 and 9 are not alive.
    for (std::uint32_t tuple = 0; tuple < 24; ++tuple) {
      operand.ids.push_back(tuple % 4);
      operand.ids.push_back(tuple % 3);
      operand.ids.push_back(tuple % 2);
      if (tuple != 5 && tuple != 9) operand.alive.push_back(tuple);
    }
    auto found = [](const IdIndex& index, std::vector<std::uint32_t> key) {
      const auto tuples = index.lookup(key.data());
      return std::vector<std::uint32_t>(tuples.begin(), tuples.end());
    };
    using Tuples = std::vector<std::uint32_t>;
    const IdIndex three(operand, {0, 1, 2}, &collidingHash);
    EXPECT_EQ(found(three, {1, 2, 1}), Tuples({17}));  // 5 is dead
    EXPECT_EQ(found(three, {0, 0, 0}), Tuples({0, 12}));
    EXPECT_EQ(found(three, {0, 0, 1}), Tuples());
    EXPECT_EQ(found(three, {3, 2, 1}), Tuples({11, 23}));
    const IdIndex two(operand, {1, 0}, &collidingHash);
    EXPECT_EQ(found(two, {1, 1}), Tuples({1, 13}));
    EXPECT_EQ(found(two, {2, 3}), Tuples({11, 23}));
    const IdIndex second(operand, {1}, &collidingHash);
    EXPECT_EQ(found(second, {0}), Tuples({0, 3, 6, 12, 15, 18, 21}));
    EXPECT_EQ(found(second, {7}), Tuples());
    const IdIndex all(operand, {});
    EXPECT_EQ(all.lookup(nullptr).size(), 22u);
    // Ids carried beside the members are those of each member's row.
    const IdIndex carrying(operand, {1}, &collidingHash, {2, 0});
    for (std::uint32_t key = 0; key < 3; ++key) {
      const auto tuples = carrying.lookup(&key);
      const std::size_t alive[] = {7, 8, 7};  // tuples 9 and 5 are dead
      ASSERT_EQ(tuples.size(), alive[key]);
      const std::uint32_t* carried = carrying.carried(tuples);
      for (std::size_t at = 0; at < tuples.size(); ++at) {
        EXPECT_EQ(carried[2 * at], tuples[at] % 2) << key << ", " << at;
        EXPECT_EQ(carried[2 * at + 1], tuples[at] % 4) << key << ", " << at;
      }
    }
    // Every key of ids 0 to 4 (some beyond a slot's values), against the
    // alive tuples that hold it: the ends of each group and the gaps in it.
    for (std::uint32_t key = 0; key < 125; ++key) {
      const std::vector<std::uint32_t> ids = {key % 5, key / 5 % 5, key / 25};
      Tuples expected;
      for (const std::uint32_t tuple : operand.alive) {
        if (tuple % 4 == ids[0] && tuple % 3 == ids[1] && tuple % 2 == ids[2]) {
          expected.push_back(tuple);
        }
      }
      EXPECT_EQ(found(three, ids), expected) << ids[0] << ids[1] << ids[2];
    }
  }
}

TEST(IdIndex, FindsTheRestOfAKeyInGroupsSmallAndLarge) {
  // Keys of two ids from huge domains: grouped by the first, searched by
  // the second, by counting in a small group and by halving in a large one.
  // Group g has 7g members, with second ids repeating and missing.
  const std::vector<std::uint32_t> domains = {1u << 30, 1u << 30};
  EncodedOperand operand;
  operand.width = 2;
  operand.domain = domains.data();
  std::uint32_t tuple = 0;
  for (std::uint32_t round = 0; round < 70; ++round) {
    for (std::uint32_t group = 0; group < 11; ++group) {
      if (round >= 7 * group) continue;
      operand.ids.push_back(group);
      operand.ids.push_back((round * 5 + group) % 13 * 2);  // even ids only
      if (tuple % 17 != 3) operand.alive.push_back(tuple);
      ++tuple;
    }
  }
  const IdIndex index(operand, {0, 1});
  for (std::uint32_t group = 0; group < 12; ++group) {
    for (std::uint32_t second = 0; second < 28; ++second) {
      std::vector<std::uint32_t> expected;
      for (const std::uint32_t alive : operand.alive) {
        if (operand.id(alive, 0) == group && operand.id(alive, 1) == second) {
          expected.push_back(alive);
        }
      }
      const std::uint32_t key[] = {group, second};
      const auto found = index.lookup(key);
      EXPECT_EQ(std::vector<std::uint32_t>(found.begin(), found.end()), expected)
          << group << ", " << second;
    }
  }
}

TEST(IdIndex, IsTheSameBuiltOnAnyNumberOfThreads) {
  // Large enough to be built on several threads: groups, members, their
  // order, the ids carried beside them and the rest of the key sorted
  // within groups must not depend on how many threads built them.
  const std::vector<std::uint32_t> domains = {5000, 1u << 30, 3};
  EncodedOperand operand;
  operand.width = 3;
  operand.domain = domains.data();
  for (std::uint32_t tuple = 0; tuple < 150'000; ++tuple) {
    operand.ids.push_back(tuple * 7919 % 5000);
    operand.ids.push_back(tuple % 13 * 1000);
    operand.ids.push_back(tuple % 3);
    if (tuple % 11 != 4) operand.alive.push_back(tuple);
  }
  auto contents = [&](const IdIndex& index, std::uint32_t first, std::uint32_t second) {
    const std::uint32_t key[] = {first, second};
    const auto found = index.lookup(key);
    std::vector<std::uint32_t> seen(found.begin(), found.end());
    const std::size_t width = index.carriedSlots().size();
    if (width != 0) {
      const std::uint32_t* carried = index.carried(found);
      seen.insert(seen.end(), carried, carried + found.size() * width);
    }
    return seen;
  };
  for (const auto& slots : {std::vector<std::uint32_t>{0}, std::vector<std::uint32_t>{0, 1}}) {
    const IdIndex one(operand, slots, hashIds, {2, 1}, 1);
    for (const unsigned threads : {2u, 7u}) {
      const IdIndex many(operand, slots, hashIds, {2, 1}, threads);
      for (std::uint32_t first = 0; first < 5000; first += 7) {
        for (std::uint32_t second = 0; second < 13'000;
             second += slots.size() == 1 ? 13'000 : 1000) {
          const auto expected = contents(one, first, second);
          ASSERT_FALSE(expected.empty()) << first << ", " << second;
          ASSERT_EQ(contents(many, first, second), expected)
              << threads << " threads, " << slots.size() << " slots, key " << first << ", "
              << second;
        }
      }
    }
  }
  // The members of a group are the alive tuples holding its key, ascending.
  const IdIndex many(operand, {0}, hashIds, {}, 2);
  const std::uint32_t key = 1234;
  std::vector<std::uint32_t> expected;
  for (const std::uint32_t tuple : operand.alive) {
    if (operand.id(tuple, 0) == key) expected.push_back(tuple);
  }
  const auto found = many.lookup(&key);
  EXPECT_EQ(std::vector<std::uint32_t>(found.begin(), found.end()), expected);
}

std::uint64_t collidingTextHash(std::string_view text) { return text.size() % 2; }

// GCC 12 warns wrongly (-Wrestrict) about "literal" + std::string at -O3.
std::string value(int number) {
  std::string text("v");
  text += std::to_string(number);
  return text;
}

TEST(Dictionary, EqualTextsShareAnIdAndOthersDoNotDespiteCollisions) {
  for (const TextHashFn hash : {&hashText, &collidingTextHash}) {
    test::RelationMaker maker;
    Relations relations;
    std::vector<test::Tuple> tTuples, rTuples, sTuples;
    // The outermost operand is split apart: a value no later operand has
    // (i >= 50) kills its tuple, and so do two values of a.
    for (int i = 0; i < 60; ++i) {
      tTuples.push_back({value(i), value(i % 3), i % 7 == 0 ? value(1000 + i) : value(i)});
    }
    for (int i = 0; i < 50; ++i) rTuples.push_back({value(i), value(i % 25)});
    for (int i = 0; i < 50; ++i) sTuples.push_back({value(49 - i)});
    const Relation& t = maker.add(relations, "T", {"a", "b", "a"}, tTuples);
    // A name repeated within R: its values must agree.
    const Relation& r = maker.add(relations, "R", {"a", "a"}, rTuples);
    const Relation& s = maker.add(relations, "S", {"a"}, sTuples);
    const Operands operands{&t, &r, &s};
    const JoinClasses classes = findClasses(operands);
    const HiddenColumns hidden = hiddenColumnsOf(operands, classes);
    const EncodedJoin encoded = encodeOperands(operands, classes, hidden, hash);
    EXPECT_EQ(encoded.domainSize[0], 50u);
    // Tuples 0..24 of R agree with themselves; 25..49 hold two texts.
    EXPECT_EQ(encoded.operands[1].alive.size(), 25u);
    for (std::uint32_t i = 0; i < 50; ++i) {
      EXPECT_EQ(encoded.operands[2].id(i, 0), encoded.operands[1].id(49 - i, 0));
      if (i > 0) {
        EXPECT_NE(encoded.operands[2].id(i, 0), encoded.operands[2].id(i - 1, 0));
      }
    }
    EncodedOperand chunk;
    TupleCursor cursor(t, 0);
    encodeChunk(t, classes.operands[0], hidden[0], encoded, cursor, 60, chunk);
    std::vector<std::uint32_t> alive;
    for (std::uint32_t i = 0; i < 50; ++i) {
      if (i % 7 != 0) alive.push_back(i);
    }
    EXPECT_EQ(std::vector<std::uint32_t>(chunk.alive.begin(), chunk.alive.end()), alive);
    for (const std::uint32_t i : alive) {
      EXPECT_EQ(chunk.id(i, 0), encoded.operands[2].id(49 - i, 0));
    }
  }
}

TEST(Dictionary, GrowingKeepsEveryIdWithTextsKeptAsOffsetsOrAsPointers) {
  // Values as stored tuple text has them: each ended by "," or "\n".
  std::string text;
  std::vector<std::pair<std::size_t, std::size_t>> places;  // (offset, size)
  // Values of up to seven bytes are their own keys; longer ones are read
  // where they lie.
  constexpr int generated = 20000;
  for (int number = 0; number < generated; ++number) {
    std::string v = value(number % 5000) + (number % 3 == 0 ? "x" : "");
    if (number % 4 < 2) v += "-longer";
    places.emplace_back(text.size(), v.size());
    (text += v) += number % 2 == 0 ? ',' : '\n';
  }
  // Every short length, and values differing in one byte only: first,
  // middle or last.
  for (const std::string_view v :
       {"",        "a",       "b",       "ab",       "ba",       "abc",     "axc",
        "abd",     "abcd",    "abce",    "abcde",    "abxde",    "abcdef",  "xbcdef",
        "abcdefg", "abcdefh", "abcxefg", "abcdefgh", "abcdefgi", "bbcdefgh"}) {
    places.emplace_back(text.size(), v.size());
    (text += v) += ',';
  }
  // Texts 4 GiB apart or more are kept as pointers: claiming so forces it.
  for (const std::uint64_t span : {std::uint64_t{text.size()}, std::uint64_t{1} << 33}) {
    for (const TextHashFn hash : {&hashText, &collidingTextHash}) {
      if (hash == &collidingTextHash && span == text.size()) continue;  // covered above
      Dictionary dictionary(hash);
      dictionary.reserve(text.data(), span);
      std::map<std::string_view, std::uint32_t> expected;
      for (std::size_t at = 0; at < places.size(); ++at) {
        // Where every value collides, each lookup compares with all before
        // it: a few thousand values grow the table as often.
        if (hash == &collidingTextHash && at >= 3000 && at < std::size_t{generated}) continue;
        const auto [offset, size] = places[at];
        const std::string_view v(text.data() + offset, size);
        const auto [entry, added] =
            expected.emplace(v, static_cast<std::uint32_t>(expected.size()));
        ASSERT_EQ(dictionary.intern(v, hash(v)), entry->second) << v << " span " << span;
      }
      EXPECT_EQ(dictionary.size(), expected.size());
      for (const auto& [v, id] : expected) {
        ASSERT_EQ(dictionary.find(v, hash(v)), id) << v;
      }
      for (const std::string_view missing :
           {"v5000", "v1y", "c", "v", "v12x0", "abcdefi", "abcdefgj", "v1-longe", "v1-longerx",
            "v5000-longer"}) {
        EXPECT_EQ(dictionary.find(missing, hash(missing)), Dictionary::kMissing) << missing;
      }
    }
  }
}

TEST(Dictionary, GrowingALargeTableGivesBackOnlyWhatItHasMoved) {
  // Enough values for the table to grow in steps of many pages, each step
  // giving back the old table as it is read.
  constexpr int kValues = 400000;
  std::string text;
  std::vector<std::size_t> offsets;
  for (int number = 0; number < kValues; ++number) {
    offsets.push_back(text.size());
    (text += value(number)) += '\n';
  }
  Dictionary dictionary;
  dictionary.reserve(text.data(), text.size());
  auto at = [&](int number) {
    const std::size_t offset = offsets[static_cast<std::size_t>(number)];
    return std::string_view(text).substr(offset, text.find('\n', offset) - offset);
  };
  for (int number = 0; number < kValues; ++number) {
    ASSERT_EQ(dictionary.intern(at(number), hashText(at(number))),
              static_cast<std::uint32_t>(number));
  }
  for (int number = 0; number < kValues; ++number) {
    ASSERT_EQ(dictionary.find(at(number), hashText(at(number))),
              static_cast<std::uint32_t>(number));
  }
}

}  // namespace
}  // namespace natjoin
