#include "join/join_tree.h"

#include <algorithm>

namespace natjoin {

JoinForest buildJoinForest(std::span<const std::uint32_t> members, const JoinClasses& classes,
                           const std::function<bool(std::uint32_t var)>& usable) {
  const std::size_t count = members.size();
  JoinForest forest;
  forest.parent.assign(count, kNoParent);
  forest.sharedBegin.reserve(count + 1);
  if (count == 0) return forest;

  // (variable, member) pairs grouped by variable: who has which variable.
  struct Has {
    std::uint32_t var;
    std::uint32_t member;
    std::uint32_t slot;
  };
  std::vector<Has> has;
  for (std::uint32_t member = 0; member < count; ++member) {
    const auto& vars = classes.operands[members[member]].vars;
    for (std::uint32_t slot = 0; slot < vars.size(); ++slot) {
      if (usable(vars[slot])) has.push_back({vars[slot], member, slot});
    }
  }
  std::sort(has.begin(), has.end(), [](const Has& a, const Has& b) {
    return a.var != b.var ? a.var < b.var : a.member < b.member;
  });
  // Per member, its entries of `has` (indexes), in slot order.
  std::vector<std::uint32_t> memberStart(count + 1, 0);
  for (const Has& entry : has) ++memberStart[entry.member + 1];
  for (std::size_t member = 0; member < count; ++member) {
    memberStart[member + 1] += memberStart[member];
  }
  std::vector<std::uint32_t> byMember(has.size());
  {
    std::vector<std::uint32_t> next(memberStart.begin(), memberStart.end() - 1);
    for (std::uint32_t entryIdx = 0; entryIdx < has.size(); ++entryIdx) {
      byMember[next[has[entryIdx].member]++] = entryIdx;
    }
  }
  // Per entry, the range of entries of the same variable.
  std::vector<std::uint32_t> varBegin(has.size());
  std::vector<std::uint32_t> varEnd(has.size());
  for (std::size_t begin = 0; begin < has.size();) {
    std::size_t end = begin + 1;
    while (end < has.size() && has[end].var == has[begin].var) ++end;
    for (std::size_t at = begin; at < end; ++at) {
      varBegin[at] = static_cast<std::uint32_t>(begin);
      varEnd[at] = static_cast<std::uint32_t>(end);
    }
    begin = end;
  }

  // marker: per entry's variable (indexed by its first entry), the member
  // that introduced it, or kNoParent.
  std::vector<std::uint32_t> marker(has.size(), kNoParent);
  std::vector<std::uint32_t> seen(count, 0);       // marked variables per member
  std::vector<std::uint32_t>& rank = forest.rank;  // position in `order`
  rank.assign(count, kNoParent);
  std::vector<std::vector<std::uint32_t>> buckets(1);  // by `seen`; stale entries skipped
  std::size_t top = 0;
  for (std::uint32_t member = static_cast<std::uint32_t>(count); member-- > 1;) {
    buckets[0].push_back(member);
  }
  buckets[0].push_back(0);  // the first member is taken first

  std::vector<std::uint32_t> parentVars;
  while (forest.order.size() < count) {
    while (buckets[top].empty()) --top;
    const std::uint32_t member = buckets[top].back();
    buckets[top].pop_back();
    if (rank[member] != kNoParent || seen[member] != top) continue;
    rank[member] = static_cast<std::uint32_t>(forest.order.size());
    forest.order.push_back(member);
    forest.sharedBegin.push_back(static_cast<std::uint32_t>(forest.shared.size()));

    // The parent: the member that most recently introduced a seen variable.
    std::uint32_t parent = kNoParent;
    for (std::uint32_t at = memberStart[member]; at < memberStart[member + 1]; ++at) {
      const std::uint32_t introducer = marker[varBegin[byMember[at]]];
      if (introducer != kNoParent && (parent == kNoParent || rank[introducer] > rank[parent])) {
        parent = introducer;
      }
    }
    if (parent != kNoParent) {
      forest.parent[member] = parent;
      // Seen variables must all be the parent's; shared ones are recorded.
      for (std::uint32_t at = memberStart[member]; at < memberStart[member + 1]; ++at) {
        const std::uint32_t entryIdx = byMember[at];
        if (marker[varBegin[entryIdx]] == kNoParent) continue;
        const auto parentEntry = std::lower_bound(
            has.begin() + varBegin[entryIdx], has.begin() + varEnd[entryIdx], parent,
            [](const Has& entry, std::uint32_t wanted) { return entry.member < wanted; });
        if (parentEntry == has.begin() + varEnd[entryIdx] || parentEntry->member != parent) {
          forest.acyclic = false;
          continue;
        }
        forest.shared.emplace_back(has[entryIdx].slot, parentEntry->slot);
      }
    }
    // Introduce its unseen variables.
    for (std::uint32_t at = memberStart[member]; at < memberStart[member + 1]; ++at) {
      const std::uint32_t entryIdx = byMember[at];
      if (marker[varBegin[entryIdx]] != kNoParent) continue;
      marker[varBegin[entryIdx]] = member;
      for (std::uint32_t other = varBegin[entryIdx]; other < varEnd[entryIdx]; ++other) {
        const std::uint32_t otherMember = has[other].member;
        if (rank[otherMember] != kNoParent) continue;
        const std::uint32_t now = ++seen[otherMember];
        if (now >= buckets.size()) buckets.resize(now + 1);
        buckets[now].push_back(otherMember);
        top = std::max<std::size_t>(top, now);
      }
    }
  }
  forest.sharedBegin.push_back(static_cast<std::uint32_t>(forest.shared.size()));
  return forest;
}

}  // namespace natjoin
