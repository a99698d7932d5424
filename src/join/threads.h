// Work shared out to threads.
#ifndef NATJOIN_JOIN_THREADS_H_
#define NATJOIN_JOIN_THREADS_H_

#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace natjoin {

// The number of threads to use: NATJOIN_THREADS if it holds a positive
// number, else the number of cores.
unsigned threadCount();

// What becomes of the work of threads the system does not give: done on
// this thread after its own, where each thread has a share of its own;
// nothing, where threads claim work from a common pool until none is left.
enum class Unstarted { kDoHere, kSkip };

// Runs work(threadIdx) for every threadIdx below `threads`: 0 on this
// thread, the others on threads of their own as far as the system gives
// them. Where one throws (running out of memory), `stop()` is called so
// that the others can end early, and the first exception is thrown again
// once all are done.
template <typename Work, typename Stop>
void runOnThreads(unsigned threads, Unstarted unstarted, Work&& work, Stop&& stop) {
  std::exception_ptr error;
  std::mutex errorMutex;
  auto guarded = [&](unsigned threadIdx) {
    try {
      work(threadIdx);
    } catch (...) {
      {
        const std::lock_guard lock(errorMutex);
        if (!error) error = std::current_exception();
      }
      stop();
    }
  };
  std::vector<std::thread> helpers;
  helpers.reserve(threads);  // no allocation once threads run
  unsigned started = 1;
  for (; started < threads; ++started) {
    try {
      helpers.emplace_back(guarded, started);
    } catch (const std::system_error&) {
      break;
    }
  }
  guarded(0);
  if (unstarted == Unstarted::kDoHere) {
    for (unsigned threadIdx = started; threadIdx < threads; ++threadIdx) guarded(threadIdx);
  }
  for (std::thread& helper : helpers) helper.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace natjoin

#endif  // NATJOIN_JOIN_THREADS_H_
