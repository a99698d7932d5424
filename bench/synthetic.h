// Deterministic synthetic data for the benchmarks: the same bytes on every
// machine and every run, so that figures from different runs compare.
#ifndef NATJOIN_BENCH_SYNTHETIC_H_
#define NATJOIN_BENCH_SYNTHETIC_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace natjoin::bench {

// splitmix64: small, fast, and its own (no <random> distribution whose
// output differs between standard libraries).
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // A draw from [0, bound). The modulo bias is far below anything that
  // matters here, and the result is the same everywhere.
  std::uint64_t below(std::uint64_t bound) { return next() % bound; }

 private:
  std::uint64_t state_;
};

// A key value: the number in base 36.
inline void appendKey(std::string& out, std::uint64_t key) {
  char digits[16];
  std::size_t n = 0;
  do {
    digits[n++] = "0123456789abcdefghijklmnopqrstuvwxyz"[key % 36];
    key /= 36;
  } while (key != 0);
  while (n > 0) out += digits[--n];
}

// A payload value: 3 to 8 letters and digits.
inline void appendWord(std::string& out, SplitMix64& rng) {
  static constexpr std::string_view kAlphabet =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const std::uint64_t bits = rng.next();
  const std::size_t length = 3 + static_cast<std::size_t>(bits % 6);
  std::uint64_t rest = bits / 6;
  for (std::size_t i = 0; i < length; ++i) {
    out += kAlphabet[rest % kAlphabet.size()];
    rest /= kAlphabet.size();
  }
}

}  // namespace natjoin::bench

#endif  // NATJOIN_BENCH_SYNTHETIC_H_
