// The buffered writer: large blocks, whole rows, rows that do not wait long,
// and failures that stick.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "output/writer.h"
#include "string_sink.h"

namespace natjoin {
namespace {

// Keeps every block it is given.
class BlockSink : public Sink {
 public:
  bool write(const char* data, std::size_t size) override {
    blocks.emplace_back(data, size);
    return true;
  }
  std::vector<std::string> blocks;
};

TEST(OutputWriter, GathersManyRowsIntoFewWrites) {
  BlockSink sink;
  {
    OutputWriter out(sink);
    for (int row = 0; row < 10000; ++row) {
      out.write("1,x,p");
      out.put('\n');
      out.endRow();
    }
    out.flush();
  }
  std::string all;
  for (const auto& block : sink.blocks) all += block;
  EXPECT_EQ(all.size(), 60000u);
  EXPECT_LE(sink.blocks.size(), 2u);
}

TEST(OutputWriter, WritesOnlyWholeRowsWhenTheBufferFills) {
  BlockSink sink;
  OutputWriter out(sink, 16);
  for (int row = 0; row < 50; ++row) {
    out.write("abc");
    out.write(",de");
    out.put('\n');
    out.endRow();
  }
  out.flush();
  ASSERT_GT(sink.blocks.size(), 10u);
  std::string all;
  for (const auto& block : sink.blocks) {
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(block.back(), '\n') << "a block ended inside a row: " << block;
    all += block;
  }
  EXPECT_EQ(all.size(), 50u * 7u);
}

TEST(OutputWriter, RowLongerThanTheBufferIsWrittenInFull) {
  BlockSink sink;
  OutputWriter out(sink, 8);
  out.write("head\n");
  out.endRow();
  const std::string longValue(100, 'v');
  out.write(longValue);
  out.put('\n');
  out.endRow();
  out.write("tail\n");
  out.flush();
  std::string all;
  for (const auto& block : sink.blocks) all += block;
  EXPECT_EQ(all, "head\n" + longValue + "\ntail\n");
}

TEST(OutputWriter, PollWritesRowsThatWaitedAboutAMillisecond) {
  BlockSink sink;
  OutputWriter out(sink);
  out.write("row\n");
  out.endRow();
  out.write("partial");
  EXPECT_TRUE(sink.blocks.empty());
  std::this_thread::sleep_for(OutputWriter::kMaxRowDelay * 3);
  out.poll();
  ASSERT_EQ(sink.blocks.size(), 1u);
  EXPECT_EQ(sink.blocks[0], "row\n");  // the unfinished row stays behind
  out.flush();
  EXPECT_EQ(sink.blocks.back(), "partial");
}

TEST(OutputWriter, FailureSticksAndDropsLaterWrites) {
  test::StringSink sink(10);
  OutputWriter out(sink, 4);
  out.write("0123456789ab");
  EXPECT_TRUE(out.failed());
  out.write("more");
  out.flush();
  EXPECT_TRUE(out.failed());
  EXPECT_TRUE(sink.text().empty());
}

}  // namespace
}  // namespace natjoin
