#include "training/pretokenize.h"

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

}  // namespace selvane::training
