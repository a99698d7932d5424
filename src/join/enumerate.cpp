#include "join/enumerate.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include "join/chunk_output.h"
#include "join/rows.h"
#include "join/suffix_batch.h"
#include "join/threads.h"

namespace natjoin {
namespace {

// How many enumeration steps pass between two looks at the clock.
constexpr std::uint32_t kPollSteps = 1024;
// How many rows ahead the last level fetches a tuple's start, and its text.
constexpr std::size_t kStartAhead = 8;
constexpr std::size_t kTextAhead = 4;
// How many tuples ahead at a level each stage of the next level's reads is
// fetched, the nearest last.
constexpr std::array<std::pair<std::size_t, Prefetch>, 4> kLevelAhead = {{
    {16, Prefetch::kGroup},
    {12, Prefetch::kMembers},
    {8, Prefetch::kStart},
    {4, Prefetch::kText},
}};
// The same for a suffix's reads (see SuffixRows::Stage): of its roots, and
// where they have children, a step further, to theirs.
constexpr std::array<std::pair<std::size_t, SuffixRows::Stage>, 4> kRootsAhead = {{
    {16, SuffixRows::Stage::kGroup},
    {12, SuffixRows::Stage::kMembers},
    {8, SuffixRows::Stage::kStart},
    {4, SuffixRows::Stage::kText},
}};
constexpr std::array<std::pair<std::size_t, SuffixRows::Stage>, 7> kChildrenAhead = {{
    {28, SuffixRows::Stage::kGroup},
    {24, SuffixRows::Stage::kMembers},
    {20, SuffixRows::Stage::kStart},
    {16, SuffixRows::Stage::kText},
    {12, SuffixRows::Stage::kChildMembers},
    {8, SuffixRows::Stage::kChildStart},
    {4, SuffixRows::Stage::kChildText},
}};
// Reading ahead pays only where what a level reads misses the cache: where
// the operands from the next level on take less memory than this, the
// extra lookups cost more than the misses they hide (a star's small
// dimensions, probed once per fact tuple, ran 1.5 times faster without).
constexpr std::size_t kReadAheadBytes = std::size_t{4} << 20;
// What an index costs per tuple, about, for the estimate of that memory.
constexpr std::size_t kIndexBytesPerTuple = 16;
// Outer tuples whose suffix rows are found together at first, and at most
// (see SuffixBatch).
constexpr std::size_t kFirstBatch = 16;
constexpr std::size_t kMaxBatch = 4096;
// Outer tuples split at a time.
constexpr std::uint32_t kOuterChunk = 4096;
// Chunks per thread: enough that uneven chunks even out.
constexpr std::size_t kChunksPerThread = 64;
// Chunks a thread may be ahead of the frontier, per thread.
constexpr std::size_t kMaxAheadPerThread = 2;

// Per level, whether the reads that find its candidates (or a suffix's
// rows, from its level on), and the starts and texts of the rows written
// from its tuples, are worth fetching ahead: whether the operands
// from that level on take more memory than the cache holds, estimated from
// their ids, starts, index entries and share of text; at every level where
// the join asks for that.
std::vector<std::uint8_t> readAheadLevels(const PreparedJoin& join) {
  const std::size_t count = join.operands.size();
  std::vector<std::uint8_t> worth(count, 0);
  std::size_t bytes = 0;
  for (std::size_t level = count; level-- > 1;) {
    const EncodedOperand& operand = join.encoded.operands[level];
    const std::size_t alive = operand.aliveCount();
    const std::size_t tuples = std::max<std::size_t>(1, join.operands[level]->tupleCount());
    bytes += alive * (4 * std::size_t{operand.width} + 4 + kIndexBytesPerTuple) +
             operand.text.size() / tuples * alive;
    worth[level] = join.alwaysReadAhead || bytes > kReadAheadBytes ? 1 : 0;
  }
  return worth;
}

// Writes the rows `suffix` found for the tuples `chosen` at the levels
// before its own. Returns false when a write failed or `poll` returned
// false.
template <typename Rows, typename Poll>
bool writeSuffixRows(OutputWriter& out, const Rows& suffix, std::size_t firstLevel,
                     std::size_t last, const EncodedView& view, bool readAhead, RowWriter& rows,
                     JoinStats& stats, std::uint32_t& steps, Poll&& poll) {
  const std::size_t count = suffix.rowCount();
  for (std::size_t row = 0; row < count; ++row) {
    // The rows' tuples are known ahead: their starts and texts are fetched
    // a few rows before they are written.
    for (std::size_t level = firstLevel; readAhead && level <= last; ++level) {
      if (row + kStartAhead < count) {
        view.operands[level].prefetchStart(suffix.tuple(row + kStartAhead, level));
      }
      if (row + kTextAhead < count) {
        view.operands[level].prefetchShown(suffix.tuple(row + kTextAhead, level));
      }
    }
    for (std::size_t level = firstLevel; level < last; ++level) {
      const std::uint32_t tuple = suffix.tuple(row, level);
      if (row == 0 || tuple != suffix.tuple(row - 1, level)) rows.choose(level, tuple);
    }
    rows.writeRow(suffix.tuple(row, last));
    ++stats.rows;
    if (out.failed()) return false;
    if (++steps == kPollSteps) {
      steps = 0;
      if (!poll()) return false;
    }
  }
  return true;
}

// Enumerates the rows of the outer tuples `outer`, writing them to `out`.
// `poll` is called every so often with the position in `outer`; returns
// false when the enumeration stopped because `poll` returned false or a
// write failed.
template <typename Poll>
bool enumerateSpan(OutputWriter& out, const PreparedJoin& join, const EncodedView& view,
                   LevelStates& levels, SuffixRows& suffix, RowWriter& rows,
                   std::span<const std::uint8_t> readAhead, std::span<const std::uint32_t> outer,
                   JoinStats& stats, Poll&& poll) {
  const std::size_t count = join.operands.size();
  std::vector<std::uint32_t> chosen(count, 0);
  std::vector<std::span<const std::uint32_t>> pending(count);
  pending[0] = outer;
  std::size_t level = 0;
  std::uint32_t steps = 0;
  for (;;) {
    if (++steps == kPollSteps) {
      steps = 0;
      if (!poll(outer.size() - pending[0].size()) || out.failed()) return false;
    }
    if (pending[level].empty()) {
      if (level == 0) return !out.failed();
      --level;
      continue;
    }
    chosen[level] = pending[level].front();
    pending[level] = pending[level].subspan(1);
    ++stats.candidateVisits;
    if (level + 1 == count) {
      const std::span<const std::uint32_t> ahead = pending[level];
      if (readAhead[level] != 0) {
        if (ahead.size() > kStartAhead) view.operands[level].prefetchStart(ahead[kStartAhead]);
        if (ahead.size() > kTextAhead) view.operands[level].prefetchShown(ahead[kTextAhead]);
      }
      rows.writeRow(chosen[level]);
      ++stats.rows;
      if (out.failed()) return false;
      continue;
    }
    // The next level's reads for the tuples coming at this one, and the
    // text of theirs that rows will show: a level whose candidates come
    // from later operands takes tuples at random places too.
    const bool suffixNext = level + 1 == join.suffix.level && suffix.active();
    const std::span<const std::uint32_t> ahead = pending[level];
    if (readAhead[level] != 0) {
      if (ahead.size() > kStartAhead) view.operands[level].prefetchStart(ahead[kStartAhead]);
      if (ahead.size() > kTextAhead) view.operands[level].prefetchShown(ahead[kTextAhead]);
    }
    if (readAhead[level + 1] != 0 && ahead.size() > kLevelAhead.back().first) {
      const std::uint32_t current = chosen[level];
      if (suffixNext) {
        const std::span<const std::pair<std::size_t, SuffixRows::Stage>> stages =
            suffix.hasChildren()
                ? std::span<const std::pair<std::size_t, SuffixRows::Stage>>(kChildrenAhead)
                : kRootsAhead;
        for (const auto& [distance, stage] : stages) {
          if (ahead.size() <= distance) continue;
          chosen[level] = ahead[distance];
          suffix.prefetch(view, join.indexes, chosen, stage);
        }
      } else {
        for (const auto& [distance, stage] : kLevelAhead) {
          if (ahead.size() <= distance) continue;
          chosen[level] = ahead[distance];
          prefetchLevel(join.plan, levels, level + 1, view, join.indexes, chosen, stage);
        }
      }
      chosen[level] = current;
    }
    rows.choose(level, chosen[level]);
    ++level;
    if (suffixNext && suffix.find(view, join.indexes, chosen, stats)) {
      if (!writeSuffixRows(
              out, suffix, level, count - 1, view, readAhead[level] != 0, rows, stats, steps,
              [&] { return poll(outer.size() - pending[0].size()) && !out.failed(); })) {
        return false;
      }
      --level;
      continue;
    }
    pending[level] = findCandidates(join.plan, levels, level, view, join.indexes, chosen, stats);
  }
}

// One thread's state for enumerating outer tuples: the chunk of the
// outermost operand split last, and a row writer that reads it.
struct OuterPass {
  OuterPass(OutputWriter& out, const PreparedJoin& join)
      : view{OperandsView(join.encoded, chunk)},
        rows(out, join.operands, join.hiddenColumns, view),
        suffix(join.suffix),
        batch(join.suffix),
        readAhead(readAheadLevels(join)) {}

  EncodedOperand chunk;
  EncodedView view;
  RowWriter rows;
  SuffixRows suffix;
  SuffixBatch batch;
  // Outer tuples in the next batch; 0 once one outer tuple had too many
  // rows for a batch, after which they are enumerated one by one.
  std::size_t batchSize = kFirstBatch;
  std::vector<std::uint8_t> readAhead;  // per level, see readAheadLevels
  std::vector<std::uint32_t> key;
};

// Enumerates the rows of the outer tuples `outer` where the walked suffix
// begins right after them: a batch of outer tuples at a time, as many as
// have few rows together; the outer tuples of a batch with too many are
// enumerated one by one, and after one outer tuple alone had too many, all
// are (the walk up to the member that gives up costs no more than that
// outer tuple's rows, once). Returns false when the enumeration stopped
// early.
template <typename Poll>
bool enumerateBatches(OutputWriter& out, const PreparedJoin& join, LevelStates& levels,
                      OuterPass& pass, std::span<const std::uint32_t> outer, JoinStats& stats,
                      Poll&& poll) {
  const std::size_t last = join.operands.size() - 1;
  std::uint32_t steps = 0;
  auto keepGoing = [&] { return poll(std::size_t{0}) && !out.failed(); };
  while (!outer.empty()) {
    if (pass.batchSize == 0) {
      return enumerateSpan(out, join, pass.view, levels, pass.suffix, pass.rows, pass.readAhead,
                           outer, stats, poll);
    }
    const std::span<const std::uint32_t> batch =
        outer.first(std::min(pass.batchSize, outer.size()));
    outer = outer.subspan(batch.size());
    if (!pass.batch.find(pass.view, join.indexes, batch, stats)) {
      pass.batchSize /= 2;
      if (!enumerateSpan(out, join, pass.view, levels, pass.suffix, pass.rows, pass.readAhead,
                         batch, stats, poll)) {
        return false;
      }
      continue;
    }
    stats.candidateVisits += batch.size();
    if (!writeSuffixRows(out, pass.batch, 0, last, pass.view, pass.readAhead[1] != 0, pass.rows,
                         stats, steps, keepGoing)) {
      return false;
    }
    if (pass.batch.rowCount() < SuffixBatch::kMaxRows / 4) {
      pass.batchSize = std::min(pass.batchSize * 2, kMaxBatch);
    }
    if (!keepGoing()) return false;
  }
  return true;
}

// Enumerates the rows of outer tuples [begin, end), splitting them a
// chunk at a time. `poll` is called every so often with the number of
// outer tuples done; returns false when the enumeration stopped early.
template <typename Poll>
bool enumerateOuter(OutputWriter& out, const PreparedJoin& join, LevelStates& levels,
                    OuterPass& pass, std::uint32_t begin, std::uint32_t end, JoinStats& stats,
                    Poll&& poll) {
  const Relation& relation = *join.operands[0];
  TupleCursor cursor(relation, begin);
  for (std::uint32_t chunkBegin = begin; chunkBegin < end;) {
    const std::uint32_t chunkEnd = std::min(end, chunkBegin + kOuterChunk);
    encodeChunk(relation, join.classes.operands[0], join.hiddenColumns[0], join.encoded, cursor,
                chunkEnd, pass.chunk);
    join.outerFilter.apply(pass.chunk, pass.key);
    stats.reduceSteps += chunkEnd - chunkBegin;
    auto pollChunk = [&](std::size_t /*done*/) { return poll(chunkBegin - begin); };
    const std::span<const std::uint32_t> outer = pass.chunk.alive;
    const bool finished = join.suffix.level == 1
                              ? enumerateBatches(out, join, levels, pass, outer, stats, pollChunk)
                              : enumerateSpan(out, join, pass.view, levels, pass.suffix, pass.rows,
                                              pass.readAhead, outer, stats, pollChunk);
    if (!finished) return false;
    chunkBegin = chunkEnd;
    if (!poll(chunkBegin - begin)) return false;
  }
  return true;
}

void enumerateParallel(OutputWriter& out, const PreparedJoin& join, unsigned threads,
                       JoinStats& stats) {
  const std::size_t total = join.operands[0]->tupleCount();
  const std::size_t chunkSize =
      std::max<std::size_t>(1, total / (std::size_t{threads} * kChunksPerThread));
  const std::size_t chunkCount = (total + chunkSize - 1) / chunkSize;
  // A thread beyond the chunks would find nothing to claim.
  threads = static_cast<unsigned>(std::min<std::size_t>(threads, chunkCount));
  Coordinator coordinator(out, chunkCount, std::size_t{threads} * kMaxAheadPerThread);
  std::vector<JoinStats> threadStats(threads);
  // The indexes every thread will need are built first, side by side.
  // Levels that a walked suffix stands for need theirs only if a prefix
  // has too many rows to walk.
  auto used = indexesUsed(join.plan, join.encoded, join.suffix.level);
  for (const SuffixMember& member : join.suffix.members) {
    used.emplace_back(member.operand, member.slots);
  }
  std::atomic<std::size_t> nextIndex{0};

  auto work = [&](unsigned threadIdx) {
    for (std::size_t at = nextIndex++; at < used.size(); at = nextIndex++) {
      join.indexes.get(used[at].first, used[at].second);
    }
    LevelStates levels(join.plan);
    ChunkSink sink(coordinator);
    OutputWriter chunkOut(sink);
    OuterPass pass(chunkOut, join);
    while (const std::optional<std::size_t> chunk = coordinator.claim()) {
      sink.begin(*chunk);
      const std::size_t begin = *chunk * chunkSize;
      const std::size_t end = std::min(total, begin + chunkSize);
      enumerateOuter(chunkOut, join, levels, pass, static_cast<std::uint32_t>(begin),
                     static_cast<std::uint32_t>(end), threadStats[threadIdx],
                     [&](std::size_t done) {
                       chunkOut.poll();
                       sink.poll();
                       if (sink.direct()) out.setOuterProgress(begin + done, total);
                       // Another thread's failed write stops this one too.
                       return !coordinator.failed();
                     });
      chunkOut.flush();
      if (chunkOut.failed() || coordinator.failed()) {
        coordinator.fail();
        return;
      }
      coordinator.finish(*chunk, sink.take());
    }
  };
  // What a thread throws (running out of memory) stops the others. Chunks
  // are claimed as threads come free, so fewer threads than asked for
  // (where the system has no more to give) do the same work.
  runOnThreads(threads, Unstarted::kSkip, work, [&] { coordinator.fail(); });
  for (const JoinStats& part : threadStats) {
    stats.reduceSteps += part.reduceSteps;
    stats.candidateSteps += part.candidateSteps;
    stats.candidateVisits += part.candidateVisits;
    stats.rows += part.rows;
    stats.carriedKeys += part.carriedKeys;
  }
}

}  // namespace

unsigned threadCount() {
  if (const char* text = std::getenv("NATJOIN_THREADS")) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && value > 0 && value <= 1024) {
      return static_cast<unsigned>(value);
    }
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

void enumerateRows(OutputWriter& out, const PreparedJoin& join, unsigned threads,
                   JoinStats& stats) {
  const std::size_t total = join.operands[0]->tupleCount();
  if (threads > 1 && total > 1) {
    enumerateParallel(out, join, threads, stats);
    return;
  }
  OuterPass pass(out, join);
  LevelStates levels(join.plan);
  enumerateOuter(out, join, levels, pass, 0, static_cast<std::uint32_t>(total), stats,
                 [&](std::size_t done) {
                   out.setOuterProgress(done, total);
                   out.poll();
                   return true;
                 });
}

}  // namespace natjoin
