// What the single-core text benchmarks share: the corpora they read by
// default, a prefix of each cut back to whole code points, and medians of
// the thread's CPU time, which other processes on a shared machine take
// less off than they would off wall-clock time.

#ifndef SELVANE_BENCH_CORPUS_PREFIX_H_
#define SELVANE_BENCH_CORPUS_PREFIX_H_

#include <algorithm>
#include <cstddef>
#include <ctime>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace selvane::bench {

inline constexpr std::size_t kMaxPrefixBytes = 16u << 20;

inline const char* const kDefaultCorpora[] = {
    SELVANE_CORPORA_DIR "/tashkeela-classical/classical.txt",
    SELVANE_CORPORA_DIR "/saudinewsnet/saudinewsnet-2015-08-11.txt",
    SELVANE_CORPORA_DIR "/tweets-atsad/atsad-tweets-2019-04-13.txt",
};

// Returns the corpora named on the command line, or the default ones when
// none is.
inline std::span<const char* const> corpora_of(int argc, char** argv) {
  if (argc > 1) {
    return {argv + 1, static_cast<std::size_t>(argc - 1)};
  }
  return kDefaultCorpora;
}

// Reads at most kMaxPrefixBytes of `path` into `text`, cut back so that it
// does not end inside a code point (a text cut there would be ill-formed at
// its end, and segmentation or validation would stop short). Returns false
// when the file cannot be read.
inline bool read_prefix(const char* path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  text.resize(kMaxPrefixBytes);
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  while (!text.empty() &&
         (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
    text.pop_back();
  }
  if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) {
    text.pop_back();
  }
  return true;
}

inline double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) +
         static_cast<double>(now.tv_nsec) * 1e-9;
}

// Returns the median seconds of `runs` calls of `work`.
template <typename Work>
double median_seconds(int runs, Work work) {
  std::vector<double> seconds;
  for (int run = 0; run < runs; ++run) {
    const double begin = thread_seconds();
    work();
    seconds.push_back(thread_seconds() - begin);
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[seconds.size() / 2];
}

// Returns the file name of `path`, for a table row.
inline std::string_view base_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace selvane::bench

#endif  // SELVANE_BENCH_CORPUS_PREFIX_H_
