#include "test_util.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "driver/run.h"
#include "string_sink.h"

namespace natjoin::test {

std::vector<std::string_view> valuesOf(TupleView tuple) {
  std::vector<std::string_view> values;
  tuple.forEachValue([&](std::size_t, std::string_view value) { values.push_back(value); });
  return values;
}

std::string_view RelationMaker::keep(std::string_view text) { return text_.emplace_back(text); }

Relation& RelationMaker::add(Relations& relations, std::string_view name,
                             const std::vector<std::string>& attributes,
                             const std::vector<Tuple>& tuples) {
  Relation& relation = relations.emplace_back();
  relation.setNameView(keep(name));
  for (const std::string& attribute : attributes) addAttribute(relation, attribute);
  setTuples(relation, tuples);
  return relation;
}

void RelationMaker::addAttribute(Relation& relation, std::string_view name) {
  // The names are kept joined by ","; the text may move as it grows, so the
  // relation is pointed at it again each time.
  const std::size_t count = relation.attributes().size();
  std::string& text = attributeText_[&relation];
  if (count > 0) text += ',';
  text += name;
  relation.setAttributes(text, count + 1);
}

void RelationMaker::setTuples(Relation& relation, const std::vector<Tuple>& tuples) {
  std::string text;
  std::vector<std::uint64_t> ends;
  ends.reserve(tuples.size());
  for (const Tuple& tuple : tuples) {
    for (std::size_t valueIdx = 0; valueIdx < tuple.size(); ++valueIdx) {
      if (valueIdx > 0) text += ',';
      text += tuple[valueIdx];
    }
    if (!tuple.empty()) text += '\n';
    ends.push_back(text.size());
  }
  setTupleText(relation, keep(text), ends);
}

void setTupleText(Relation& relation, std::string_view text,
                  const std::vector<std::uint64_t>& ends) {
  std::vector<std::uint64_t> checkpoints;
  std::vector<std::uint64_t> empties;
  for (std::uint64_t index = 0; index < ends.size(); ++index) {
    const std::uint64_t begin = index == 0 ? 0 : ends[index - 1];
    if (index > 0 && index % Relation::kCheckpointEvery == 0) checkpoints.push_back(begin);
    if (begin == ends[index]) empties.push_back(index);
  }
  relation.setTuples(text, ends.size(), std::move(checkpoints), std::move(empties));
}

std::unique_ptr<Database> parse(std::string_view text) {
  auto db = std::make_unique<Database>();
  readDatabaseText(text, *db);
  return db;
}

std::string outputFor(std::string_view text) {
  const auto db = parse(text);
  test::StringSink sink;
  OutputWriter out(sink);
  writeSections(out, db->joinList, db->relations);
  return sink.text();
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "natjoin-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

RunResult runNatjoin(const std::vector<std::string>& args, std::string_view input,
                     std::size_t addressSpaceLimit) {
  int toChild[2];
  int fromChild[2];
  if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(toChild[0], STDIN_FILENO);
    ::dup2(fromChild[1], STDOUT_FILENO);
    ::close(toChild[0]);
    ::close(toChild[1]);
    ::close(fromChild[0]);
    ::close(fromChild[1]);
    if (addressSpaceLimit != 0) {
      const rlimit limit{addressSpaceLimit, addressSpaceLimit};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    std::vector<char*> argv;
    std::string program = NATJOIN_BINARY;
    argv.push_back(program.data());
    std::vector<std::string> copies(args);
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  // Feed the input, then read all of standard output. Inputs in the tests
  // are small enough to fit the pipe while the child starts.
  std::signal(SIGPIPE, SIG_IGN);
  std::size_t fed = 0;
  while (fed < input.size()) {
    const ssize_t n = ::write(toChild[1], input.data() + fed, input.size() - fed);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    fed += static_cast<std::size_t>(n);
  }
  ::close(toChild[1]);
  RunResult result;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fromChild[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fromChild[0]);
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.peakKilobytes = usage.ru_maxrss;
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

::testing::AssertionResult sameText(std::string_view actual, std::string_view expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  const std::size_t at = static_cast<std::size_t>(
      std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first -
      actual.begin());
  const std::size_t lineStart = actual.rfind('\n', at == 0 ? 0 : at - 1);
  const std::size_t from = lineStart == std::string_view::npos ? 0 : lineStart + 1;
  auto lineAt = [from](std::string_view text) {
    return text.substr(from, std::min(text.find('\n', from), text.size()) - from);
  };
  auto lines = [](std::string_view text) { return std::count(text.begin(), text.end(), '\n'); };
  return ::testing::AssertionFailure()
         << "outputs differ at line " << lines(actual.substr(0, from)) + 1 << ": \""
         << lineAt(actual) << "\" where \"" << lineAt(expected) << "\" was expected ("
         << lines(actual) << " lines against " << lines(expected) << ")";
}

std::string describe(const JoinList& joinList, const Relations& relations) {
  std::string text = "join list:";
  for (const auto& name : joinList) (text += ' ') += name;
  for (const Relation& relation : relations) {
    ((text += '\n') += relation.name()) += '(';
    for (const auto attribute : relation.attributes()) (text += attribute) += ';';
    (text += ")\n") += relation.tupleText();
  }
  return text;
}

}  // namespace natjoin::test
