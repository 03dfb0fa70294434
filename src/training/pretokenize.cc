#include "training/pretokenize.h"

#include <cstdint>
#include <unordered_map>

#include "text/grapheme.h"
#include "text/utf8.h"
#include "training/id_allocation.h"

namespace selvane::training {
namespace {

constexpr std::string_view kStartMarker = "<|im_start|>";
constexpr std::string_view kEndMarker = "<|im_end|>";
constexpr std::string_view kMarkerReplacement = "^";

std::string replace_all(const std::string& text, std::string_view from,
                        std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  for (;;) {
    const std::size_t found = text.find(from, at);
    if (found == std::string::npos) break;
    out.append(text, at, found - at);
    out += to;
    at = found + from.size();
  }
  out.append(text, at);
  return out;
}

}  // namespace

std::string replace_markers(std::string text) {
  // Most chunks hold no marker: skip the copies then.
  if (text.find("<|im_") == std::string::npos) return text;
  return replace_all(replace_all(text, kStartMarker, kMarkerReplacement),
                     kEndMarker, kMarkerReplacement);
}

std::vector<model::TokenId> pretokenize_chunk(model::Data& data,
                                              std::string_view chunk) {
  const std::string text = replace_markers(text::decode_utf8_lossy(chunk));
  std::vector<model::TokenId> ids;
  // Every cluster holds at least one byte.
  ids.reserve(text.size());
  text::for_each_grapheme(text, [&](std::string_view cluster) {
    const auto known = data.unicode_lookup.find(cluster);
    if (known != data.unicode_lookup.end()) {
      ids.push_back(known->second);
      return;
    }
    const model::TokenId id = new_token_id(data.lookup);
    data.unicode_lookup.emplace(std::string(cluster), id);
    data.lookup.insert_or_assign(id, std::string(cluster));
    ids.push_back(id);
  });
  return ids;
}

PreparedChunk prepare_chunk(const model::UnicodeLookup& unicode_lookup,
                            std::string_view chunk) {
  const std::string text = replace_markers(text::decode_utf8_lossy(chunk));
  PreparedChunk prepared;
  prepared.ids.reserve(text.size());
  // Views into `text`, which outlives the map.
  std::unordered_map<std::string_view, std::uint32_t> new_index;
  text::for_each_grapheme(text, [&](std::string_view cluster) {
    const auto known = unicode_lookup.find(cluster);
    if (known != unicode_lookup.end()) {
      prepared.ids.push_back(known->second);
      return;
    }
    if (prepared.is_new.empty()) prepared.is_new.resize(text.size());
    prepared.is_new[prepared.ids.size()] = true;
    const auto [entry, added] = new_index.try_emplace(
        cluster, static_cast<std::uint32_t>(prepared.new_clusters.size()));
    if (added) prepared.new_clusters.emplace_back(cluster);
    // An index past 16 bits is never read back: the model cannot give that
    // many new clusters ids, so commit_chunk() fails before it gets there.
    prepared.ids.push_back(static_cast<model::TokenId>(entry->second));
  });
  if (!prepared.is_new.empty()) prepared.is_new.resize(prepared.ids.size());
  return prepared;
}

std::vector<model::TokenId> commit_chunk(model::Data& data,
                                         PreparedChunk prepared) {
  std::vector<model::TokenId> assigned;
  assigned.reserve(prepared.new_clusters.size());
  // All the allocations first, in the order pretokenize_chunk() makes them:
  // a failure leaves the model with the same clusters added.
  for (std::string& cluster : prepared.new_clusters) {
    const model::TokenId id = new_token_id(data.lookup);
    data.unicode_lookup.emplace(cluster, id);
    data.lookup.insert_or_assign(id, std::move(cluster));
    assigned.push_back(id);
  }
  std::vector<model::TokenId>& ids = prepared.ids;
  for (std::size_t i = 0; i < prepared.is_new.size(); ++i) {
    if (prepared.is_new[i]) ids[i] = assigned[ids[i]];
  }
  return std::move(ids);
}

}  // namespace selvane::training
