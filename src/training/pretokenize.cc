#include "training/pretokenize.h"

#include <cstdint>
#include <exception>
#include <thread>

#include "base/signal_free_thread.h"
#include "model/cluster_cache.h"
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
  // The index of each new cluster in `new_clusters`, in a table like the
  // model's own: on the first chunk of an empty model every cluster is new.
  model::UnicodeLookup new_index;
  // What a cluster is, for the cache: its id, or kNew and its index in
  // `new_clusters`. An index past 16 bits is never read back: the model
  // cannot give that many new clusters ids, so commit_chunk() fails before
  // it gets there. The table keeps it to 16 bits too, and tells new
  // clusters apart by their text, not by the index.
  constexpr std::uint32_t kNew = 1u << 16;
  const auto look_up = [&](std::string_view cluster) -> std::uint32_t {
    const auto known = unicode_lookup.find(cluster);
    if (known != unicode_lookup.end()) return known->second;
    auto entry = new_index.find(cluster);
    if (entry == new_index.end()) {
      entry = new_index
                  .emplace(
                      std::string(cluster),
                      static_cast<model::TokenId>(prepared.new_clusters.size()))
                  .first;
      prepared.new_clusters.emplace_back(cluster);
    }
    return kNew | entry->second;
  };
  model::ClusterCache<std::uint32_t> cache;
  text::for_each_grapheme(text, [&](std::string_view cluster) {
    const std::uint32_t found = cache.value_of(text, cluster, look_up);
    if ((found & kNew) != 0) {
      if (prepared.is_new.empty()) prepared.is_new.resize(text.size());
      prepared.is_new[prepared.ids.size()] = true;
    }
    prepared.ids.push_back(static_cast<model::TokenId>(found));
  });
  if (!prepared.is_new.empty()) prepared.is_new.resize(prepared.ids.size());
  return prepared;
}

std::vector<model::TokenId> commit_new_clusters(
    model::Data& data, std::vector<std::string> new_clusters) {
  std::vector<model::TokenId> assigned;
  assigned.reserve(new_clusters.size());
  // All the allocations first, in the order pretokenize_chunk() makes them:
  // a failure leaves the model with the same clusters added.
  for (std::string& cluster : new_clusters) {
    // A cluster that the model got meanwhile (from the part of the chunk
    // before this one) keeps its id.
    const auto known = data.unicode_lookup.find(cluster);
    if (known != data.unicode_lookup.end()) {
      assigned.push_back(known->second);
      continue;
    }
    const model::TokenId id = new_token_id(data.lookup);
    data.unicode_lookup.emplace(cluster, id);
    data.lookup.insert_or_assign(id, std::move(cluster));
    assigned.push_back(id);
  }
  return assigned;
}

std::vector<model::TokenId> commit_chunk(model::Data& data,
                                         PreparedChunk prepared) {
  const std::vector<model::TokenId> assigned =
      commit_new_clusters(data, std::move(prepared.new_clusters));
  std::vector<model::TokenId>& ids = prepared.ids;
  for (std::size_t i = 0; i < prepared.is_new.size(); ++i) {
    if (prepared.is_new[i]) ids[i] = assigned[ids[i]];
  }
  return std::move(ids);
}

std::vector<model::TokenId> pretokenize_chunk_in_halves(
    model::Data& data, std::string_view chunk) {
  // A line feed always ends a cluster, and no marker or UTF-8 sequence spans
  // one, so the halves cut after it pretokenize as they would in one piece.
  // Below a few hundred kilobytes a thread costs more than it saves.
  constexpr std::size_t kLeastSplit = 1 << 18;
  const std::size_t line_feed = chunk.size() < kLeastSplit
                                    ? std::string_view::npos
                                    : chunk.find('\n', chunk.size() / 2);
  if (line_feed == std::string_view::npos) {
    return pretokenize_chunk(data, chunk);
  }
  const std::string_view first = chunk.substr(0, line_feed + 1);
  const std::string_view second = chunk.substr(line_feed + 1);
  // Both halves only read the lookup until both are prepared; then the first
  // half's new clusters take their ids, and then the second's that are new
  // still: the order of first occurrence in the whole chunk.
  PreparedChunk later;
  std::exception_ptr failure;
  std::thread helper = start_signal_free_thread([&] {
    try {
      later = prepare_chunk(data.unicode_lookup, second);
    } catch (...) {
      failure = std::current_exception();
    }
  });
  PreparedChunk earlier;
  try {
    earlier = prepare_chunk(data.unicode_lookup, first);
  } catch (...) {
    if (helper.joinable()) helper.join();
    throw;
  }
  if (helper.joinable()) {
    helper.join();
  } else {
    later = prepare_chunk(data.unicode_lookup, second);
  }
  if (failure) std::rethrow_exception(failure);
  std::vector<model::TokenId> ids = commit_chunk(data, std::move(earlier));
  const std::vector<model::TokenId> rest = commit_chunk(data, std::move(later));
  ids.insert(ids.end(), rest.begin(), rest.end());
  return ids;
}

}  // namespace selvane::training
