// Times the incremental merge engine against the plain merge sequence, side
// by side in one run: the learning loop on one training chunk of
// tashkeela-classical, and the encoding loop on tashkeela-msa documents of
// 100 bytes, 100 KB and 1 MB. Ids are code points, numbered densely in order
// of first appearance, so the figures cover the merge loops alone.
//
// Usage: merge_engine_bench [corpora dir] [plain learning iterations | full]
// The plain learning loop takes tens of seconds on a full chunk, so by
// default it runs the first 70 iterations and the 700 are extrapolated from
// them; "full" runs all 700.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "codec/merge_engine.h"
#include "codec/plain_merge_sequence.h"

namespace {

using selvane::codec::MergeEngine;
using selvane::codec::PlainMergeSequence;
using selvane::model::PairKey;
using selvane::model::TokenId;

constexpr std::size_t kChunkBytes = 3'067'833;
constexpr int kLearnIterations = 700;
constexpr std::uint32_t kMinMergeCount = 10;

using Merges = std::unordered_map<PairKey, TokenId>;
using CodePointIds = std::unordered_map<std::uint32_t, TokenId>;

std::string read_prefix(const std::string& path, std::size_t bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    std::exit(1);
  }
  std::string text(bytes, '\0');
  in.read(text.data(), static_cast<std::streamsize>(bytes));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

// Decodes the code points of `text`; a sequence cut at the end still yields
// one (truncated) value, which is all a benchmark needs.
std::vector<std::uint32_t> code_points(const std::string& text) {
  std::vector<std::uint32_t> out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i++]);
    std::uint32_t unit = byte;
    if (byte >= 0xC0) {
      const int extra = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : 1;
      unit = byte & (0x3Fu >> extra);
      for (int k = 0; k < extra && i < text.size(); ++k) {
        unit = unit << 6 | (static_cast<unsigned char>(text[i++]) & 0x3Fu);
      }
    }
    out.push_back(unit);
  }
  return out;
}

// Numbers new code points from 1 (0 stays free, as for "oov") when `grow`,
// and maps unknown ones to 0 otherwise.
std::vector<TokenId> to_ids(const std::string& text, CodePointIds& table,
                            bool grow) {
  std::vector<TokenId> ids;
  for (const std::uint32_t unit : code_points(text)) {
    const auto known = table.find(unit);
    if (known != table.end()) {
      ids.push_back(known->second);
    } else if (grow) {
      const auto id = static_cast<TokenId>(table.size() + 1);
      table.emplace(unit, id);
      ids.push_back(id);
    } else {
      ids.push_back(0);
    }
  }
  return ids;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The learning loop: merge the top pair under a new id while it occurs at
// least kMinMergeCount times, for up to `iterations` iterations. Returns the
// learned merges in order, and the seconds spent building the sequence and
// merging in `phases`.
template <class Sequence>
std::vector<std::pair<PairKey, TokenId>> learn(std::vector<TokenId> ids,
                                               TokenId first_new,
                                               int iterations,
                                               double (&phases)[2]) {
  const auto start = std::chrono::steady_clock::now();
  Sequence sequence(std::move(ids));
  phases[0] = seconds_since(start);
  const auto merging = std::chrono::steady_clock::now();
  std::vector<std::pair<PairKey, TokenId>> learned;
  TokenId next = first_new;
  for (int iteration = 0; iteration < iterations; ++iteration) {
    const auto top = sequence.top();
    if (!top || top->count < kMinMergeCount) break;
    learned.emplace_back(top->pair, next);
    sequence.apply(top->pair, next++);
  }
  phases[1] = seconds_since(merging);
  return learned;
}

// The encoding loop: merge the top pair while `merges` holds it.
template <class Sequence>
std::vector<TokenId> encode(std::vector<TokenId> ids, const Merges& merges) {
  Sequence sequence(std::move(ids));
  while (sequence.size() >= 2) {
    const auto top = sequence.top();
    if (!top) break;
    const auto merge = merges.find(top->pair);
    if (merge == merges.end()) break;
    sequence.apply(top->pair, merge->second);
  }
  const auto result = sequence.ids();
  return {result.begin(), result.end()};
}

// Encodes every document with `Sequence` and returns the seconds taken, the
// median of `runs` runs; the outputs of the last run land in `out`.
template <class Sequence>
double time_encode(const std::vector<std::vector<TokenId>>& documents,
                   const Merges& merges, int runs,
                   std::vector<std::vector<TokenId>>& out) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    out.clear();
    const auto start = std::chrono::steady_clock::now();
    for (const auto& document : documents) {
      out.push_back(encode<Sequence>(document, merges));
    }
    times.push_back(seconds_since(start));
  }
  return median(times);
}

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string corpora = argc > 1 ? argv[1] : SELVANE_CORPORA_DIR;
  const bool full_plain = argc > 2 && std::string(argv[2]) == "full";
  const int plain_iterations =
      full_plain ? kLearnIterations : (argc > 2 ? std::atoi(argv[2]) : 70);

  // Learning on one chunk.
  const std::string chunk =
      read_prefix(corpora + "/tashkeela-classical/classical.txt", kChunkBytes);
  CodePointIds table;
  const std::vector<TokenId> chunk_ids = to_ids(chunk, table, true);
  const auto first_new = static_cast<TokenId>(table.size() + 1);
  std::printf("chunk: %zu bytes, %zu ids, %zu distinct\n", chunk.size(),
              chunk_ids.size(), table.size());

  std::vector<double> engine_times;
  std::vector<double> build_times;
  std::vector<double> merge_times;
  std::vector<std::pair<PairKey, TokenId>> learned;
  double phases[2] = {};
  for (int run = 0; run < 5; ++run) {
    const auto start = std::chrono::steady_clock::now();
    learned =
        learn<MergeEngine>(chunk_ids, first_new, kLearnIterations, phases);
    engine_times.push_back(seconds_since(start));
    build_times.push_back(phases[0]);
    merge_times.push_back(phases[1]);
  }
  std::printf(
      "learn, engine: %zu merges, median of 5 runs %.1f ms (min %.1f, max "
      "%.1f), peak RSS so far %ld KiB\n",
      learned.size(), 1e3 * median(engine_times),
      1e3 * *std::min_element(engine_times.begin(), engine_times.end()),
      1e3 * *std::max_element(engine_times.begin(), engine_times.end()),
      peak_rss_kib());
  std::printf("learn, engine phases (medians): build %.1f ms, merges %.1f ms\n",
              1e3 * median(build_times), 1e3 * median(merge_times));

  const auto plain_start = std::chrono::steady_clock::now();
  const auto plain_learned =
      learn<PlainMergeSequence>(chunk_ids, first_new, plain_iterations, phases);
  const double plain_time = seconds_since(plain_start);
  const bool same_merges =
      std::equal(plain_learned.begin(), plain_learned.end(), learned.begin());
  const double plain_700 = plain_time * kLearnIterations / plain_iterations;
  std::printf(
      "learn, plain: %d iterations %.2f s (one run)%s; 700 iterations %s "
      "%.1f s; speed-up %.0fx; same merges as the engine: %s\n",
      plain_iterations, plain_time,
      full_plain ? ""
                 : ", extrapolated linearly (an overestimate: the "
                   "sequence shrinks)",
      full_plain ? "" : "~", plain_700, plain_700 / median(engine_times),
      same_merges ? "yes" : "NO");

  // Encoding with the merges the engine learned.
  Merges merges(learned.begin(), learned.end());
  const std::string msa =
      read_prefix(corpora + "/tashkeela-msa/msa.txt", 2'200'000);
  // Cuts `count` documents of `bytes` bytes each, at code point starts.
  const auto documents = [&](std::size_t bytes, std::size_t count) {
    std::vector<std::vector<TokenId>> out;
    std::size_t at = 0;
    for (std::size_t d = 0; d < count; ++d) {
      std::size_t end = std::min(at + bytes, msa.size());
      while (end < msa.size() &&
             (static_cast<unsigned char>(msa[end]) & 0xC0) == 0x80) {
        ++end;
      }
      out.push_back(to_ids(msa.substr(at, end - at), table, false));
      at = end;
    }
    return out;
  };
  struct Size {
    const char* name;
    std::size_t bytes;
    std::size_t count;
    int engine_runs;
    int plain_runs;
  };
  const Size sizes[] = {{"100 B", 100, 10'000, 5, 3},
                        {"100 KB", 100'000, 10, 5, 1},
                        {"1 MB", 1'000'000, 2, 5, 1}};
  double per_document[2][3] = {};
  for (int s = 0; s < 3; ++s) {
    const Size& size = sizes[s];
    const auto docs = documents(size.bytes, size.count);
    std::vector<std::vector<TokenId>> engine_out;
    std::vector<std::vector<TokenId>> plain_out;
    const double engine =
        time_encode<MergeEngine>(docs, merges, size.engine_runs, engine_out);
    const double plain = time_encode<PlainMergeSequence>(
        docs, merges, size.plain_runs, plain_out);
    const double megabytes = static_cast<double>(size.bytes * size.count) / 1e6;
    per_document[0][s] = engine / static_cast<double>(size.count);
    per_document[1][s] = plain / static_cast<double>(size.count);
    std::printf(
        "encode %-6s x%-6zu engine %9.3f ms/doc %7.1f MB/s | plain %9.3f "
        "ms/doc %7.1f MB/s | identical: %s\n",
        size.name, size.count, 1e3 * per_document[0][s], megabytes / engine,
        1e3 * per_document[1][s], megabytes / plain,
        engine_out == plain_out ? "yes" : "NO");
  }
  std::printf("encode 1 MB / 100 KB time ratio: engine %.1f, plain %.1f\n",
              per_document[0][2] / per_document[0][1],
              per_document[1][2] / per_document[1][1]);
  return 0;
}
