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

#include <cstddef>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "corpus_prefix.h"
#include "testing/plain_grapheme.h"
#include "text/grapheme.h"

namespace {

using selvane::bench::base_name;
using selvane::bench::median_seconds;

constexpr int kFastRuns = 9;
constexpr int kPlainRuns = 3;

}  // namespace

int main(int argc, char** argv) {
  const std::span<const char* const> corpora =
      selvane::bench::corpora_of(argc, argv);
  std::printf("%-32s %10s %10s %10s %11s %7s\n", "corpus", "bytes", "clusters",
              "fast MB/s", "plain MB/s", "ratio");
  int status = 0;
  for (const char* path : corpora) {
    std::string text;
    if (!selvane::bench::read_prefix(path, text)) {
      std::fprintf(stderr, "segment_bench: cannot read %s\n", path);
      return 2;
    }
    std::size_t fast_clusters = 0;
    const double fast = median_seconds(kFastRuns, [&] {
      std::size_t clusters = 0;
      selvane::text::for_each_grapheme(text,
                                       [&](std::string_view) { ++clusters; });
      fast_clusters = clusters;
    });
    std::size_t plain_clusters = 0;
    const double plain = median_seconds(kPlainRuns, [&] {
      plain_clusters = selvane::text::plain_grapheme_breaks(text).size();
    });
    const double megabytes = static_cast<double>(text.size()) / 1e6;
    std::printf("%-32s %10zu %10zu %10.1f %11.1f %6.1fx\n",
                std::string(base_name(path)).c_str(), text.size(),
                fast_clusters, megabytes / fast, megabytes / plain,
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
