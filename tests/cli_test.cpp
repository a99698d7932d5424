// The real binary: command line, files that cannot be read or written, and
// what it says and returns in each case.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "driver/run.h"
#include "string_sink.h"
#include "test_util.h"

namespace natjoin::test {
namespace {

const char kDatabase[] = "join(R, S)\n\nR(a, b)\n1,x\n2,y\n\nS(b, c)\nx,p\ny,q\nx,r\n";
const char kOutput[] =
    "join(R,S)\n\nR(a, b)\n1,x\n2,y\n\nS(b, "
    "c)\nx,p\ny,q\nx,r\n\nresult(a,b,c)\n1,x,p\n1,x,r\n2,y,q\n";

const char kWrongCount[] = "3 parametert adjon meg!\n";
const char kBadDatabase[] = "Hibas filenev.\n";
const char kBadOutput[] = "Az output file nem hozhato letre.\n";

TEST(Cli, WritesTheOutputFileAndSaysNothing) {
  TempDir dir;
  writeFile(dir.file("db.txt"), kDatabase);
  const RunResult run = runNatjoin({dir.file("db.txt"), dir.file("out.txt")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(readFile(dir.file("out.txt")), kOutput);
}

TEST(Cli, WrongArgumentCountTouchesNothing) {
  TempDir dir;
  writeFile(dir.file("db.txt"), kDatabase);
  writeFile(dir.file("out.txt"), "keep me");
  const std::vector<std::vector<std::string>> argumentLists = {
      {},
      {dir.file("db.txt")},
      {dir.file("db.txt"), dir.file("out.txt"), dir.file("third.txt")},
  };
  for (const auto& args : argumentLists) {
    const RunResult run = runNatjoin(args);
    EXPECT_EQ(run.status, 2) << args.size() << " arguments";
    EXPECT_EQ(run.output, kWrongCount);
    EXPECT_EQ(readFile(dir.file("out.txt")), "keep me");
    EXPECT_FALSE(std::filesystem::exists(dir.file("third.txt")));
  }
}

TEST(Cli, UnreadableDatabaseLeavesTheOutputAlone) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("folder"));
  writeFile(dir.file("existing.txt"), "keep me");
  for (const std::string& database : {dir.file("missing.txt"), dir.file("folder")}) {
    RunResult run = runNatjoin({database, dir.file("new.txt")});
    EXPECT_EQ(run.status, 1) << database;
    EXPECT_EQ(run.output, kBadDatabase);
    EXPECT_FALSE(std::filesystem::exists(dir.file("new.txt")));

    run = runNatjoin({database, dir.file("existing.txt")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, kBadDatabase);
    EXPECT_EQ(readFile(dir.file("existing.txt")), "keep me");
  }
}

TEST(Cli, OutputThatCannotBeCreatedFails) {
  TempDir dir;
  writeFile(dir.file("db.txt"), kDatabase);
  std::filesystem::create_directory(dir.file("folder"));
  for (const std::string& output : {dir.file("no/such/folder/out.txt"), dir.file("folder")}) {
    const RunResult run = runNatjoin({dir.file("db.txt"), output});
    EXPECT_EQ(run.status, 1) << output;
    EXPECT_EQ(run.output, kBadOutput);
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder")));
}

TEST(Cli, FullDiskIsAFailure) {
  TempDir dir;
  writeFile(dir.file("db.txt"), kDatabase);
  const RunResult run = runNatjoin({dir.file("db.txt"), "/dev/full"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, kBadOutput);
}

TEST(Cli, ReaderOfTheOutputGoingAwayIsAFailureNotASignal) {
  TempDir dir;
  // Far more output than a pipe holds, so writing goes on after the reader
  // has gone.
  std::string big = "join(R)\n\nR(a)\n";
  for (int i = 0; i < 200000; ++i) big += "value\n";
  writeFile(dir.file("db.txt"), big);
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread reader([&] {
    const int fd = ::open(fifo.c_str(), O_RDONLY);
    char some[16];
    static_cast<void>(::read(fd, some, sizeof some));
    ::close(fd);
  });
  const RunResult run = runNatjoin({dir.file("db.txt"), fifo});
  reader.join();
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, kBadOutput);
}

TEST(Cli, ExistingLongerOutputIsTruncated) {
  TempDir dir;
  writeFile(dir.file("db.txt"), kDatabase);
  writeFile(dir.file("out.txt"), std::string(4096, '#'));
  const RunResult run = runNatjoin({dir.file("db.txt"), dir.file("out.txt")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile(dir.file("out.txt")), kOutput);
}

TEST(Cli, SameFileForDatabaseAndOutput) {
  TempDir dir;
  writeFile(dir.file("db.txt"), kDatabase);
  const RunResult run = runNatjoin({dir.file("db.txt"), dir.file("db.txt")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile(dir.file("db.txt")), kOutput);
}

TEST(Cli, DatabaseFromStandardInput) {
  TempDir dir;
  RunResult run = runNatjoin({"/dev/stdin", dir.file("out.txt")}, kDatabase);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(readFile(dir.file("out.txt")), kOutput);

  // Far larger than one read: the buffer must grow as the pipe delivers.
  std::string big = "join(R)\n\nR(a)\n";
  while (big.size() < (std::size_t{3} << 20)) big += "0123456789\n";
  run = runNatjoin({"/dev/stdin", dir.file("big.txt")}, big);
  EXPECT_EQ(run.status, 0);
  // The database is written in its echo form already.
  EXPECT_TRUE(readFile(dir.file("big.txt")).starts_with(big + "\nresult(a)\n"));
}

TEST(Cli, OnOneThreadTheEchoGoesFirstWithTheSameBytes) {
  // With a second thread the echo is written while the join is prepared;
  // on one it is written first, and a failed write ends the run there.
  const auto db = parse(kDatabase);
  const char* const saved = std::getenv("NATJOIN_THREADS");
  const std::string savedText = saved != nullptr ? saved : "";
  for (const char* threads : {"1", "2"}) {
    ::setenv("NATJOIN_THREADS", threads, 1);
    StringSink sink;
    {
      OutputWriter out(sink);
      EXPECT_TRUE(writeSections(out, db->joinList, db->relations));
    }
    EXPECT_EQ(sink.text(), kOutput) << threads << " threads";
    StringSink full(10);
    {
      OutputWriter out(full, 4);
      EXPECT_FALSE(writeSections(out, db->joinList, db->relations));
    }
    EXPECT_LE(full.text().size(), 10u);
    StringSink cleared;
    {
      OutputWriter out(cleared);
      EXPECT_FALSE(writeSections(out, db->joinList, db->relations, [] { return false; }));
    }
    EXPECT_EQ(cleared.text(), "") << threads << " threads";
  }
  if (saved != nullptr) {
    ::setenv("NATJOIN_THREADS", savedText.c_str(), 1);
  } else {
    ::unsetenv("NATJOIN_THREADS");
  }
}

#if !defined(__SANITIZE_ADDRESS__)
// AddressSanitizer reserves far more address space than any limit here.
TEST(Cli, RunningOutOfMemoryFailsAndLeavesTheOutputAlone) {
  TempDir dir;
  std::string big = "join(R)\n\nR(a)\n";
  std::string lines;
  while (lines.size() < (std::size_t{1} << 20)) lines += "0123456789abcdef\n";
  big.reserve(std::size_t{201} << 20);
  while (big.size() < (std::size_t{200} << 20)) big += lines;
  writeFile(dir.file("db.txt"), big);
  writeFile(dir.file("out.txt"), "keep me");
  const RunResult run =
      runNatjoin({dir.file("db.txt"), dir.file("out.txt")}, {}, std::size_t{96} << 20);
  EXPECT_EQ(run.signal, 0);
  EXPECT_NE(run.status, 0);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(readFile(dir.file("out.txt")), "keep me");
}

TEST(Cli, ThreadsTheSystemCannotGiveAreDoneWithout) {
  // 64 threads do not fit in 120 MB of address space with the join's own
  // memory: the run goes on with the threads it gets, or, where the memory
  // runs out, fails with the message. It never aborts.
  TempDir dir;
  std::string db = "join(R, S)\n\nR(k, x)\n";
  for (int at = 0; at < 200000; ++at)
    db += std::to_string(at) + "," + std::to_string(at % 7) + "\n";
  db += "\nS(k, y)\n";
  for (int at = 0; at < 200000; ++at) db += std::to_string(at * 3) + ",y\n";
  writeFile(dir.file("db.txt"), db);
  ASSERT_EQ(runNatjoin({dir.file("db.txt"), dir.file("expected.txt")}).status, 0);
  const char* const saved = std::getenv("NATJOIN_THREADS");
  const std::string savedText = saved != nullptr ? saved : "";
  ::setenv("NATJOIN_THREADS", "64", 1);
  const RunResult run =
      runNatjoin({dir.file("db.txt"), dir.file("out.txt")}, {}, std::size_t{120} << 20);
  if (saved != nullptr) {
    ::setenv("NATJOIN_THREADS", savedText.c_str(), 1);
  } else {
    ::unsetenv("NATJOIN_THREADS");
  }
  EXPECT_EQ(run.signal, 0);
  if (run.status == 0) {
    EXPECT_EQ(readFile(dir.file("out.txt")), readFile(dir.file("expected.txt")));
  } else {
    EXPECT_EQ(run.status, kExitOutOfMemory);
    EXPECT_EQ(run.output, "");
  }
}
#endif

}  // namespace
}  // namespace natjoin::test
