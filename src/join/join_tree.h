// Join trees: how operands hang together through shared variables.
//
// A join is acyclic when its operands can be arranged in a forest in which
// the operands having any one variable form a connected subtree. Along such
// a forest, semi-joins from the leaves up and back down remove every tuple
// that is in no row, and a tuple of a node constrains the rest of the join
// only through the variables it shares with its neighbours. The forest is
// found by maximum cardinality search (Tarjan and Yannakakis): take next the
// operand with the most variables already seen; its parent is the operand
// that most recently introduced one of them. The join is acyclic exactly
// when every operand's already seen variables all belong to its parent.
// For a cyclic join the same search still gives a spanning forest whose
// edges are true constraints, only not all of them.
#ifndef NATJOIN_JOIN_JOIN_TREE_H_
#define NATJOIN_JOIN_JOIN_TREE_H_

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "join/classes.h"

namespace natjoin {

inline constexpr std::uint32_t kNoParent = UINT32_MAX;

struct JoinForest {
  // Indexes into the members given to buildJoinForest. A parent comes before
  // its children in `order`; the first member is a root.
  std::vector<std::uint32_t> order;
  std::vector<std::uint32_t> parent;  // per member, kNoParent for a root
  std::vector<std::uint32_t> rank;    // per member, its place in `order`
  // Pairs (own slot, parent's slot) of the variables each member shares with
  // its parent, member after member in `order`; those of the member at
  // place p begin at sharedBegin[p]. 16 bytes per member and 8 per pair.
  std::vector<std::uint32_t> sharedBegin;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> shared;
  bool acyclic = true;

  std::span<const std::pair<std::uint32_t, std::uint32_t>> sharedWithParent(
      std::uint32_t member) const {
    const std::uint32_t place = rank[member];
    return {shared.data() + sharedBegin[place], sharedBegin[place + 1] - sharedBegin[place]};
  }
};

// The forest over `members` (operand positions, distinct; the first becomes
// the first root), looking only at variables for which `usable` holds.
// Takes time linear in the members' usable variables, plus a sort.
JoinForest buildJoinForest(std::span<const std::uint32_t> members, const JoinClasses& classes,
                           const std::function<bool(std::uint32_t var)>& usable);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_JOIN_TREE_H_
