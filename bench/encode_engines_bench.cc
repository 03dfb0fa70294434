// Times the encoding merge loop with the plain merge sequence, the counted
// sequence, the indexed sequence and the incremental merge engine, on the
// base ids of a real model, for text pieces of growing size, with the number
// of merge steps each piece takes. The counted sequence's cost grows with
// the steps times the length, the indexed one's and the engine's with their
// set-up: the figures set the point where encoding hands over from the
// counted sequence to the indexed one.
//
// Usage: encode_engines_bench MODEL TEXT [offset]
// Pieces are cut from TEXT at byte `offset` (default 0) on cluster
// boundaries; each size runs until about 0.2 s have passed, median of 5.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "codec/counted_sequence.h"
#include "codec/indexed_sequence.h"
#include "codec/merge_engine.h"
#include "codec/merge_loop.h"
#include "codec/plain_merge_sequence.h"
#include "model/load.h"
#include "text/grapheme.h"

namespace {

using selvane::codec::CountedSequence;
using selvane::codec::IndexedSequence;
using selvane::codec::MergeEngine;
using selvane::codec::PlainMergeSequence;
using selvane::model::Data;
using selvane::model::TokenId;

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", path);
    std::exit(1);
  }
  in.seekg(0, std::ios::end);
  std::string text(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  return text;
}

// The clusters of `text` mapped as encoding maps them, unknown ones to 0.
std::vector<TokenId> base_ids(const Data& data, std::string_view text) {
  std::vector<TokenId> ids;
  selvane::text::for_each_grapheme(text, [&](std::string_view cluster) {
    const auto known = data.unicode_lookup.find(cluster);
    ids.push_back(known == data.unicode_lookup.end() ? 0 : known->second);
  });
  return ids;
}

// Median seconds of one merge loop over `ids` with `Sequence`.
template <class Sequence>
double time_loop(const Data& data, const std::vector<TokenId>& ids,
                 std::size_t* out_size) {
  std::vector<double> medians;
  for (int run = 0; run < 5; ++run) {
    const auto start = std::chrono::steady_clock::now();
    int loops = 0;
    double elapsed = 0;
    do {
      Sequence sequence(ids);
      selvane::codec::merge_by_frequency(sequence, data.merges);
      *out_size = sequence.ids().size();
      ++loops;
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                              start)
                    .count();
    } while (elapsed < 0.04);
    medians.push_back(elapsed / loops);
  }
  std::sort(medians.begin(), medians.end());
  return medians[medians.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MODEL TEXT [offset]\n", argv[0]);
    return 2;
  }
  const Data data = selvane::model::load_from_file(argv[1]);
  const std::string text = read_file(argv[2]);
  const std::size_t offset =
      argc > 3 ? std::strtoull(argv[3], nullptr, 10) : std::size_t{0};
  const std::vector<TokenId> all =
      base_ids(data, std::string_view(text).substr(offset, 4'000'000));
  std::printf("%10s %10s %6s %10s %12s %12s %12s %12s\n", "clusters", "after",
              "steps", "same", "plain us", "counted us", "indexed us",
              "engine us");
  for (const std::size_t clusters :
       std::vector<std::size_t>{4, 8, 16, 32, 64, 128, 256, 512, 1024, 4096,
                                16384, 65536, 262144, 524288}) {
    if (clusters > all.size()) break;
    const std::vector<TokenId> ids(all.begin(),
                                   all.begin() + static_cast<long>(clusters));
    std::size_t plain_size = 0;
    std::size_t counted_size = 0;
    std::size_t engine_size = 0;
    // Large pieces take the plain loop far too long: leave it out there.
    const double plain = clusters <= 16384 ? time_loop<PlainMergeSequence>(
                                                 data, ids, &plain_size)
                                           : 0.0;
    const double counted = time_loop<CountedSequence>(data, ids, &counted_size);
    std::size_t indexed_size = 0;
    const double indexed = time_loop<IndexedSequence>(data, ids, &indexed_size);
    const double engine = time_loop<MergeEngine>(data, ids, &engine_size);
    // Every step shortens the sequence, so count them on a fresh one.
    std::size_t steps = 0;
    CountedSequence stepper(ids);
    while (stepper.size() >= 2) {
      const auto top = stepper.top();
      if (!top) break;
      const auto merge = data.merges.find(top->pair);
      if (merge == data.merges.end()) break;
      stepper.apply(top->pair, merge->second);
      ++steps;
    }
    const bool same = counted_size == engine_size &&
                      indexed_size == engine_size &&
                      (plain == 0.0 || plain_size == engine_size);
    std::printf("%10zu %10zu %6zu %10s %12.2f %12.2f %12.2f %12.2f\n", clusters,
                engine_size, steps, same ? "yes" : "NO", plain * 1e6,
                counted * 1e6, indexed * 1e6, engine * 1e6);
  }
  return 0;
}
