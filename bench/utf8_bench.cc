// UTF-8 validation and lossy decoding throughput, single core.
//
//   utf8_bench [corpus.txt ...]
//
// Reads at most the first 16 MB of each corpus (cut back to a code point
// boundary) and prints the median throughput of validate_utf8 and
// decode_utf8_lossy over nine runs, in MB/s (10^6 bytes per second) of the
// thread's CPU time. Compare two builds by running their binaries in turn.

#include <cstddef>
#include <cstdio>
#include <span>
#include <string>

#include "corpus_prefix.h"
#include "text/utf8.h"

namespace {

using selvane::bench::base_name;
using selvane::bench::median_seconds;

constexpr int kRuns = 9;

}  // namespace

int main(int argc, char** argv) {
  const std::span<const char* const> corpora =
      selvane::bench::corpora_of(argc, argv);
  std::printf("%-32s %10s %14s %12s\n", "corpus", "bytes", "validate MB/s",
              "lossy MB/s");
  for (const char* path : corpora) {
    std::string text;
    if (!selvane::bench::read_prefix(path, text)) {
      std::fprintf(stderr, "utf8_bench: cannot read %s\n", path);
      return 2;
    }
    std::size_t sink = 0;
    const double validate = median_seconds(
        kRuns, [&] { sink += selvane::text::validate_utf8(text) ? 0u : 1u; });
    const double lossy = median_seconds(
        kRuns, [&] { sink += selvane::text::decode_utf8_lossy(text).size(); });
    const double megabytes = static_cast<double>(text.size()) / 1e6;
    std::printf("%-32s %10zu %14.1f %12.1f\n",
                std::string(base_name(path)).c_str(), text.size(),
                megabytes / validate, megabytes / lossy);
    if (sink == 0) std::printf("(empty)\n");
  }
  return 0;
}
