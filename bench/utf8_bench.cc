// UTF-8 validation and lossy decoding throughput, single core.
//
//   utf8_bench [corpus.txt ...]
//
// Reads at most the first 16 MB of each corpus (cut back to a code point
// boundary) and prints the median
// throughput of validate_utf8 and decode_utf8_lossy over nine runs, in MB/s
// (10^6 bytes per second) of the thread's CPU time. Compare two builds by
// running their binaries in turn.

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "text/utf8.h"

namespace {

constexpr std::size_t kMaxBytes = 16u << 20;
constexpr int kRuns = 9;

const char* const kDefaultCorpora[] = {
    SELVANE_CORPORA_DIR "/tashkeela-classical/classical.txt",
    SELVANE_CORPORA_DIR "/saudinewsnet/saudinewsnet-2015-08-11.txt",
    SELVANE_CORPORA_DIR "/tweets-atsad/atsad-tweets-2019-04-13.txt",
};

double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) +
         static_cast<double>(now.tv_nsec) * 1e-9;
}

// Returns the median seconds of `runs` calls of `work`.
template <typename Work>
double median_seconds(Work work) {
  std::vector<double> seconds;
  for (int run = 0; run < kRuns; ++run) {
    const double begin = thread_seconds();
    work();
    seconds.push_back(thread_seconds() - begin);
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[seconds.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::span<const char* const> corpora =
      argc > 1 ? std::span<const char* const>(
                     argv + 1, static_cast<std::size_t>(argc - 1))
               : std::span<const char* const>(kDefaultCorpora);
  std::printf("%-32s %10s %14s %12s\n", "corpus", "bytes", "validate MB/s",
              "lossy MB/s");
  for (const char* path : corpora) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "utf8_bench: cannot read %s\n", path);
      return 2;
    }
    std::string text(kMaxBytes, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    // Do not end inside a code point, or validation would stop short.
    while (!text.empty() &&
           (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
      text.pop_back();
    }
    if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) {
      text.pop_back();
    }
    std::size_t sink = 0;
    const double validate = median_seconds(
        [&] { sink += selvane::text::validate_utf8(text) ? 0u : 1u; });
    const double lossy = median_seconds(
        [&] { sink += selvane::text::decode_utf8_lossy(text).size(); });
    const double megabytes = static_cast<double>(text.size()) / 1e6;
    const std::string_view name(path);
    std::printf("%-32s %10zu %14.1f %12.1f\n",
                std::string(name.substr(name.rfind('/') + 1)).c_str(),
                text.size(), megabytes / validate, megabytes / lossy);
    if (sink == 0) std::printf("(empty)\n");
  }
  return 0;
}
