// The progress line: for a run that lasts, one line on a terminal that says
// how far the join has come, redrawn a few times a second and erased at the
// end.
//
//   natjoin:  42%  3862011 rows  41.7 MB  0:07
//
// The share is of the outermost loop of the join: outer tuples done out of
// all outer tuples. Rows and bytes are those written to the output file so
// far, the time is the time since the run started.
//
// The line is for a person watching, so it goes only to a terminal, and only
// once a run has lasted long enough for the wait to be noticed. The writer
// draws it from its clock polls (OutputWriter::poll), which the join makes
// anyway, so it costs nothing per row.
#ifndef NATJOIN_OUTPUT_PROGRESS_H_
#define NATJOIN_OUTPUT_PROGRESS_H_

#include <chrono>
#include <cstdint>

namespace natjoin {

// How far a run has come, as the writer counts it.
struct ProgressCounts {
  std::uint64_t outerDone = 0;   // outer tuples finished
  std::uint64_t outerTotal = 0;  // all outer tuples; 0 while not known
  std::uint64_t rows = 0;        // result rows ended
  std::uint64_t bytes = 0;       // bytes handed to the output file
};

class Progress {
 public:
  using Clock = std::chrono::steady_clock;
  // Nothing is drawn before a run has lasted this long.
  static constexpr std::chrono::milliseconds kQuietPeriod{1000};
  // The line is redrawn at most this often.
  static constexpr std::chrono::milliseconds kRedrawInterval{250};

  // Draws on the file descriptor `fd`, which the caller keeps open and which
  // should be a terminal; the run is taken to have started at `start`.
  Progress(int fd, Clock::time_point start) : fd_(fd), start_(start) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  // Erases the line if one is shown.
  ~Progress() { erase(); }

  // Redraws the line with `counts` if the quiet period is over and the last
  // drawing is at least kRedrawInterval old. Write errors are ignored: the
  // line is a courtesy, never a reason to fail.
  void update(Clock::time_point now, const ProgressCounts& counts);
  // Removes the line from the terminal, leaving the cursor at the start of
  // an empty line; does nothing if no line is shown.
  void erase();

 private:
  int fd_;
  Clock::time_point start_;
  Clock::time_point lastDrawn_;
  bool shown_ = false;
};

}  // namespace natjoin

#endif  // NATJOIN_OUTPUT_PROGRESS_H_
