// Grapheme-cluster segmentation throughput, single core.
//
//   segment_bench [corpus.txt ...]
//
// Reads at most the first 16 MB of each corpus (cut back to a code point
// boundary), splits it with the segmenter and with the plain per-code-point
// reference several times, and prints the median throughput of each in MB/s
// (10^6 bytes per second) and their ratio. Times are the thread's CPU time,
// so that other processes on a shared machine take less off the figures than
// they would off wall-clock time. Exits 1 if the two disagree on any boundary.

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "testing/plain_grapheme.h"
#include "text/grapheme.h"

namespace {

constexpr std::size_t kMaxBytes = 16u << 20;
constexpr int kFastRuns = 9;
constexpr int kPlainRuns = 3;

const char* const kDefaultCorpora[] = {
    SELVANE_CORPORA_DIR "/tashkeela-classical/classical.txt",
    SELVANE_CORPORA_DIR "/saudinewsnet/saudinewsnet-2015-08-11.txt",
    SELVANE_CORPORA_DIR "/tweets-atsad/atsad-tweets-2019-04-13.txt",
};

bool read_prefix(const char* path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  text.resize(kMaxBytes);
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  // Do not end inside a code point.
  while (!text.empty() &&
         (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
    text.pop_back();
  }
  if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) {
    text.pop_back();
  }
  return true;
}

double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) +
         static_cast<double>(now.tv_nsec) * 1e-9;
}

// Runs `count_clusters` `runs` times; returns the median seconds per run.
template <typename Count>
double median_seconds(int runs, std::size_t& clusters, Count count_clusters) {
  std::vector<double> seconds;
  for (int run = 0; run < runs; ++run) {
    const double begin = thread_seconds();
    clusters = count_clusters();
    seconds.push_back(thread_seconds() - begin);
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[seconds.size() / 2];
}

const char* base_name(const char* path) {
  const std::string_view view(path);
  const std::size_t slash = view.rfind('/');
  return slash == std::string_view::npos ? path : path + slash + 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::span<const char* const> corpora =
      argc > 1 ? std::span<const char* const>(
                     argv + 1, static_cast<std::size_t>(argc - 1))
               : std::span<const char* const>(kDefaultCorpora);
  std::printf("%-32s %10s %10s %10s %11s %7s\n", "corpus", "bytes", "clusters",
              "fast MB/s", "plain MB/s", "ratio");
  int status = 0;
  for (const char* path : corpora) {
    std::string text;
    if (!read_prefix(path, text)) {
      std::fprintf(stderr, "segment_bench: cannot read %s\n", path);
      return 2;
    }
    std::size_t fast_clusters = 0;
    const double fast = median_seconds(kFastRuns, fast_clusters, [&] {
      std::size_t clusters = 0;
      selvane::text::for_each_grapheme(text,
                                       [&](std::string_view) { ++clusters; });
      return clusters;
    });
    std::size_t plain_clusters = 0;
    const double plain = median_seconds(kPlainRuns, plain_clusters, [&] {
      return selvane::text::plain_grapheme_breaks(text).size();
    });
    const double megabytes = static_cast<double>(text.size()) / 1e6;
    std::printf("%-32s %10zu %10zu %10.1f %11.1f %6.1fx\n", base_name(path),
                text.size(), fast_clusters, megabytes / fast, megabytes / plain,
                plain / fast);
    // Outside the timing: the two must agree on every boundary.
    std::vector<std::size_t> fast_ends;
    fast_ends.reserve(fast_clusters);
    selvane::text::for_each_grapheme(text, [&](std::string_view cluster) {
      fast_ends.push_back(
          static_cast<std::size_t>(cluster.data() - text.data()) +
          cluster.size());
    });
    if (fast_ends != selvane::text::plain_grapheme_breaks(text)) {
      std::fprintf(stderr, "segment_bench: %s: %zu clusters, plain %zu\n", path,
                   fast_clusters, plain_clusters);
      status = 1;
    }
  }
  return status;
}
