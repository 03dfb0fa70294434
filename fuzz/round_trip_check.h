#ifndef SELVANE_FUZZ_ROUND_TRIP_CHECK_H_
#define SELVANE_FUZZ_ROUND_TRIP_CHECK_H_

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/decode.h"
#include "codec/encode.h"
#include "codec/merge_engine.h"
#include "codec/merge_loop.h"
#include "codec/plain_merge_sequence.h"
#include "model/data.h"
#include "model_file_check.h"
#include "property.h"
#include "testing/capture.h"
#include "testing/train_chunk.h"
#include "testing/unicode_lookup_extras.h"
#include "text/grapheme.h"
#include "text/utf8.h"
#include "training/id_allocation.h"
#include "training/pretokenize.h"

namespace selvane::fuzz {

// Trains `data` on the chunks in order, as a training call does, with the
// sequence type `Sequence` in both merge passes.
template <class Sequence>
void train_chunks(model::Data& data, std::span<const std::string_view> chunks) {
  testing::StringConsole console;
  testing::StringLogSink log;
  training::write_reserved_entries(data);
  bool first = true;
  for (const std::string_view chunk : chunks) {
    if (chunk.empty()) break;  // A read of no bytes ends training.
    testing::train_chunk<Sequence>(data, chunk, first, true, log, console);
    first = false;
  }
}

// Returns `st` without the clusters that `unicode_lookup` does not hold:
// what decoding gives back for them, since they encode as "oov", whose token
// is empty in a trained model.
inline std::string known_clusters(const model::UnicodeLookup& unicode_lookup,
                                  std::string_view st) {
  std::string out;
  text::for_each_grapheme(st, [&](std::string_view cluster) {
    if (contains(unicode_lookup, cluster)) out.append(cluster);
  });
  return out;
}

// Encodes `st` through the fast merge engine instead of the plain sequence.
inline std::vector<model::TokenId> encode_with_engine(const model::Data& data,
                                                      std::string_view st) {
  codec::MergeEngine engine(codec::base_ids(data.unicode_lookup, st));
  codec::merge_by_frequency(engine, data.merges);
  const auto merged = engine.ids();
  return {merged.begin(), merged.end()};
}

// Checks one text against a trained model: every id it encodes to is a
// token, encoding with either merge sequence agrees, and decoding gives back
// the text without its unknown clusters.
inline void check_text(const model::Data& data, std::string_view st) {
  const std::vector<model::TokenId> ids = codec::encode(data, st);
  for (const model::TokenId id : ids) {
    require(data.lookup.contains(id), "a trained model encodes to its tokens");
  }
  require(ids == encode_with_engine(data, st),
          "encoding with the merge engine gives the same ids");
  require(codec::decode(data, ids) == known_clusters(data.unicode_lookup, st),
          "decode(encode(text)) is the text without its unknown clusters");
}

// check_round_trip()
//
// The input is a training text (up to two chunks) and a text to encode,
// split by little-endian u16 lengths. Training with the plain sequence and
// with the merge engine learns the same model; each chunk's text, as
// training sees it, round-trips exactly, and so does any text up to its
// unknown clusters.
inline void check_round_trip(std::string_view input) {
  const std::size_t first_size = take_u16(input) % (input.size() + 1);
  const std::string_view first = input.substr(0, first_size);
  input.remove_prefix(first_size);
  const std::size_t second_size = take_u16(input) % (input.size() + 1);
  const std::string_view second = input.substr(0, second_size);
  const std::string other = text::decode_utf8_lossy(input.substr(second_size));
  const std::string_view chunks[] = {first, second};

  model::Data data;
  train_chunks<codec::PlainMergeSequence>(data, chunks);
  model::Data by_engine;
  train_chunks<codec::MergeEngine>(by_engine, chunks);
  require(same_model(data, by_engine),
          "training with the merge engine learns the same model");

  for (const std::string_view chunk : chunks) {
    if (chunk.empty()) break;  // Training stopped here.
    const std::string seen =
        training::replace_markers(text::decode_utf8_lossy(chunk));
    require(known_clusters(data.unicode_lookup, seen) == seen,
            "training knows every cluster of its text");
    check_text(data, seen);
  }
  check_text(data, other);
  // The model survives its file.
  require(same_model(model::decode_model(model::encode_model(data)), data),
          "a trained model survives saving and loading");
}

}  // namespace selvane::fuzz

#endif  // SELVANE_FUZZ_ROUND_TRIP_CHECK_H_
