// Where a training call spends its time, chunk by chunk: the steps of one
// chunk (UTF-8 decoding with the markers, segmentation with the cluster
// lookup, setting up the merge engine, the known merges, the learning
// iterations, serialising the model) timed apart on the chunks of a corpus,
// with the console and the log sink discarded. Shows how the cost of a
// chunk grows as the model does.
//
// Usage: train_phases_bench [corpus] [chunks] [every]
// Prints every `every`-th chunk (default 1) and the totals; the corpus
// defaults to tashkeela-classical beside the checkout.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "codec/merge_engine.h"
#include "model/data.h"
#include "model/model_file.h"
#include "text/grapheme.h"
#include "text/utf8.h"
#include "training/console.h"
#include "training/id_allocation.h"
#include "training/log_sink.h"
#include "training/merge_learning.h"
#include "training/pretokenize.h"

namespace {

using Clock = std::chrono::steady_clock;
using selvane::codec::MergeEngine;
using selvane::model::TokenId;

constexpr std::size_t kChunk = 3'067'833;
constexpr std::string_view kDefaultCorpus =
    SELVANE_CORPORA_DIR "/tashkeela-classical/classical.txt";

class NullConsole final : public selvane::training::Console {
 public:
  void print(std::string_view) override {}
};

class NullLog final : public selvane::training::LogSink {
 public:
  void write(std::string_view) override {}
};

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path(argc > 1 ? argv[1] : kDefaultCorpus);
  const long chunks = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 4;
  const long every = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 1;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s (the corpora beside the checkout)\n",
                 path.c_str());
    return 1;
  }
  selvane::model::Data data;
  selvane::training::write_reserved_entries(data);
  NullConsole console;
  NullLog log;
  std::string buffer(kChunk, '\0');
  std::printf("%6s %8s %8s %8s %8s %8s %8s %8s %8s\n", "chunk", "decode",
              "segment", "build", "known", "learn", "save", "total", "merges");
  double totals[7] = {};
  for (long chunk = 0; chunk < chunks; ++chunk) {
    in.read(buffer.data(), static_cast<std::streamsize>(kChunk));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got == 0) break;
    const std::string_view bytes(buffer.data(), got);

    auto start = Clock::now();
    const std::string text = selvane::training::replace_markers(
        selvane::text::decode_utf8_lossy(bytes));
    const double decode = ms_since(start);

    // The lookup as pretokenize_chunk does it, on text already decoded.
    start = Clock::now();
    std::vector<TokenId> ids;
    ids.reserve(text.size());
    selvane::text::for_each_grapheme(text, [&](std::string_view cluster) {
      const auto known = data.unicode_lookup.find(cluster);
      if (known != data.unicode_lookup.end()) {
        ids.push_back(known->second);
        return;
      }
      const TokenId id = selvane::training::new_token_id(data.lookup);
      data.unicode_lookup.emplace(std::string(cluster), id);
      data.lookup.insert_or_assign(id, std::string(cluster));
      ids.push_back(id);
    });
    const double segment = ms_since(start);

    start = Clock::now();
    MergeEngine sequence(std::move(ids));
    const double build = ms_since(start);

    start = Clock::now();
    if (chunk != 0) {
      selvane::training::apply_known_merges(sequence, data.merges, console);
      sequence.clear_bans();
    }
    const double known = ms_since(start);

    const std::size_t merges_before = data.merges.size();
    start = Clock::now();
    selvane::training::learn_merges(sequence, data, false, log, console);
    const double learn = ms_since(start);

    start = Clock::now();
    const std::string image = selvane::model::encode_model(data);
    const double save = ms_since(start);

    const double row[7] = {decode,
                           segment,
                           build,
                           known,
                           learn,
                           save,
                           decode + segment + build + known + learn + save};
    for (int k = 0; k < 7; ++k) totals[k] += row[k];
    if (chunk % every == 0) {
      std::printf("%6ld %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8zu\n",
                  chunk, row[0], row[1], row[2], row[3], row[4], row[5], row[6],
                  data.merges.size() - merges_before);
    }
    if (image.empty()) return 1;
  }
  std::printf("%6s %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f %8zu\n", "total",
              totals[0], totals[1], totals[2], totals[3], totals[4], totals[5],
              totals[6], data.merges.size());
  return 0;
}
