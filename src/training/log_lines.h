#ifndef SELVANE_TRAINING_LOG_LINES_H_
#define SELVANE_TRAINING_LOG_LINES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "model/token_id.h"

namespace selvane::training {

// Printed once per call, after the training file is open.
inline constexpr std::string_view kStartLine = "Just Started\n";

// Printed once per chunk, before its merges are learned.
inline constexpr std::string_view kChunkLine =
    "Finish converting new read chunk to tokens\n";

// Printed after every save: 45 hyphens, the words, 45 hyphens (114 bytes).
inline constexpr std::string_view kSavedBlock =
    "--------------------------------------------- \n Saved Successfully \n"
    "---------------------------------------------\n";

// Written to the log sink after every chunk: a line feed, 83 hyphens and a
// line feed (85 bytes).
inline constexpr std::string_view kChunkSeparator =
    "\n-------------------------------------------------------------------"
    "----------------\n";

// Returns "(first, second)" for a packed pair.
std::string format_pair(model::PairKey pair);

// Returns the line of a chosen pair that has a known merge.
std::string found_match_line(model::PairKey pair);

// Returns the line of a chosen pair without a known merge; `failures` is the
// failure counter after its increment.
std::string failed_match_line(std::int32_t failures);

// Returns the line of a most frequent pair whose merge is already known.
std::string no_news_line(model::TokenId merged);

// Returns the line of a new merge of `pair` into `merged`, seen `count` times
// in iteration `iteration`.
std::string merge_line(model::TokenId merged, model::PairKey pair,
                       std::uint32_t count, std::int32_t iteration);

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_LOG_LINES_H_
