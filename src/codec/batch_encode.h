#ifndef SELVANE_CODEC_BATCH_ENCODE_H_
#define SELVANE_CODEC_BATCH_ENCODE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "codec/encoding_model.h"
#include "codec/rank_table.h"
#include "codec/rule.h"
#include "codec/unit_encode.h"
#include "model/data.h"

namespace selvane::codec {

// The ids of many texts end to end: the ids of text i are
// ids[offsets[i], offsets[i + 1]), and offsets[0] is 0.
struct FlatIds {
  std::vector<model::TokenId> ids;
  std::vector<std::uint64_t> offsets;
};

// encode_batch()
//
// Returns the ids of each text of `texts` under `rule` (`ranks` being those
// of `data`), exactly those of
// `encode_by_rule()` text by text, encoded on `threads` threads (the calling
// one among them; at least one). The result does not depend on the number
// of threads. The first failure, by text order among the texts reached, is
// rethrown on the calling thread after every thread has stopped.
FlatIds encode_batch(const model::Data& data, const RankTable& ranks,
                     std::span<const std::string_view> texts, Rule rule,
                     std::size_t threads);

// The ids of many units with the count of the clusters among them that the
// model does not know, and of the units that held at least one.
struct EncodedUnits {
  FlatIds flat;
  std::uint64_t unknown_clusters = 0;
  std::uint64_t units_with_unknown = 0;
};

// encode_units()
//
// Returns the ids of each text of `texts`, exactly those of `encode_unit()`
// with `options` text by text, encoded on `threads` threads as
// `encode_batch()` does, and the unknown cluster counts of them all.
EncodedUnits encode_units(const EncodingModel& model,
                          std::span<const std::string_view> texts,
                          const UnitOptions& options, std::size_t threads);

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_BATCH_ENCODE_H_
