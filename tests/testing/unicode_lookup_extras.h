#ifndef SELVANE_TESTS_TESTING_UNICODE_LOOKUP_EXTRAS_H_
#define SELVANE_TESTS_TESTING_UNICODE_LOOKUP_EXTRAS_H_

// What tests ask of a cluster table beyond what the module does with it:
// building one from a list, asking for a key, and comparing two tables.

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "model/token_id.h"
#include "model/unicode_lookup.h"

namespace selvane::model {

// Returns a table holding `entries`, the first of equal keys winning.
inline UnicodeLookup lookup_of(
    std::initializer_list<std::pair<std::string, TokenId>> entries) {
  UnicodeLookup table;
  for (const auto& [text, id] : entries) table.emplace(text, id);
  return table;
}

// Returns whether `text` is a key of `table`.
inline bool contains(const UnicodeLookup& table, std::string_view text) {
  return table.find(text) != table.end();
}

// Returns the id of `text`; throws std::out_of_range when it is absent.
inline TokenId id_at(const UnicodeLookup& table, std::string_view text) {
  const auto found = table.find(text);
  if (found == table.end()) throw std::out_of_range("no such cluster");
  return found->second;
}

// Returns whether both hold the same keys with the same ids, in any order.
// Found by argument-dependent lookup, so EXPECT_EQ compares tables.
inline bool operator==(const UnicodeLookup& a, const UnicodeLookup& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [text, id] : a) {
    const auto other = b.find(text);
    if (other == b.end() || other->second != id) return false;
  }
  return true;
}

}  // namespace selvane::model

#endif  // SELVANE_TESTS_TESTING_UNICODE_LOOKUP_EXTRAS_H_
