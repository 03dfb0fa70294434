#include "training/log_lines.h"

namespace selvane::training {

std::string format_pair(model::PairKey pair) {
  return "(" + std::to_string(model::pair_first(pair)) + ", " +
         std::to_string(model::pair_second(pair)) + ")";
}

std::string found_match_line(model::PairKey pair) {
  return "Found a match between the max occur with already learned | Pair "
         "is " +
         format_pair(pair) + "\n";
}

std::string failed_match_line(std::int32_t failures) {
  return "Failed to find a match between the max occur with already learned "
         "| Failed Count " +
         std::to_string(failures) + "\n";
}

std::string no_news_line(model::TokenId merged) {
  return "No News Loop count is " + std::to_string(merged) + "\n";
}

std::string merge_line(model::TokenId merged, model::PairKey pair,
                       std::uint32_t count, std::int32_t iteration) {
  return "Token " + std::to_string(merged) + " | Merge " + format_pair(pair) +
         " | " + std::to_string(count) + " Times | Loop " +
         std::to_string(iteration) + "\n";
}

}  // namespace selvane::training
