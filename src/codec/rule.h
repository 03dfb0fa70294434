#ifndef SELVANE_CODEC_RULE_H_
#define SELVANE_CODEC_RULE_H_

#include <optional>
#include <string_view>

namespace selvane::codec {

// Rule
//
// How the base ids of a text are merged. `kFrequency` is the module's own
// encoding: the text's most frequent pair, while it has a merge. `kRank`
// merges the pair with the smallest merged id, the order of learning, for as
// long as any neighbouring pair has a merge.
enum class Rule { kFrequency, kRank };

// The names of the rules, as the companion spells them.
inline constexpr std::string_view kFrequencyRuleName = "frequency";
inline constexpr std::string_view kRankRuleName = "rank";

// Returns the rule called `name`, or nullopt for any other name.
constexpr std::optional<Rule> rule_named(std::string_view name) {
  if (name == kFrequencyRuleName) return Rule::kFrequency;
  if (name == kRankRuleName) return Rule::kRank;
  return std::nullopt;
}

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_RULE_H_
