#include "training/pretokenize.h"

#include <atomic>
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
// What both markers start with.
constexpr std::string_view kMarkerStart = "<|im_";

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
  if (text.find(kMarkerStart) == std::string::npos) return text;
  return replace_all(replace_all(text, kStartMarker, kMarkerReplacement),
                     kEndMarker, kMarkerReplacement);
}

namespace {

// Returns the text that `chunk` is segmented as: the chunk itself when it is
// valid UTF-8 without a marker, as most chunks are, else its decoded copy
// with the markers replaced, kept in `storage`. The copy would cost a chunk
// a fresh buffer of its size on the calling thread.
std::string_view text_of_chunk(std::string_view chunk, std::string& storage) {
  if (!text::validate_utf8(chunk) &&
      chunk.find(kMarkerStart) == std::string_view::npos) {
    return chunk;
  }
  storage = replace_markers(text::decode_utf8_lossy(chunk));
  return storage;
}

}  // namespace

std::vector<model::TokenId> pretokenize_chunk(model::Data& data,
                                              std::string_view chunk) {
  std::string storage;
  const std::string_view text = text_of_chunk(chunk, storage);
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
  std::string storage;
  const std::string_view text = text_of_chunk(chunk, storage);
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

namespace {

// Returns `chunk` cut into consecutive pieces of at least `bytes` bytes
// (the last one may be shorter), each ending after a line feed but the last.
// A line feed always ends a cluster, and no marker or UTF-8 sequence spans
// one, so the pieces pretokenize as they would in one.
std::vector<std::string_view> cut_after_line_feeds(std::string_view chunk,
                                                   std::size_t bytes) {
  std::vector<std::string_view> pieces;
  while (!chunk.empty()) {
    const std::size_t line_feed = chunk.size() <= bytes
                                      ? std::string_view::npos
                                      : chunk.find('\n', bytes - 1);
    const std::size_t end =
        line_feed == std::string_view::npos ? chunk.size() : line_feed + 1;
    pieces.push_back(chunk.substr(0, end));
    chunk.remove_prefix(end);
  }
  return pieces;
}

}  // namespace

void pretokenize_chunk_in_pieces(model::Data& data, std::string_view chunk,
                                 const PieceConsumer& consume) {
  // Two threads take the pieces in turn, so they finish within a piece of
  // each other however the work falls: halves of equal bytes took one
  // thread half again as long as the other on a chunk of the classical
  // corpus. Each piece sets up tables of its own and meets the new clusters
  // afresh, which a piece this large earns back; a chunk of one piece, below
  // a few hundred kilobytes, is not worth a thread.
  constexpr std::size_t kPieceBytes = 1 << 18;
  const std::vector<std::string_view> pieces =
      cut_after_line_feeds(chunk, kPieceBytes);
  const std::size_t count = pieces.size();
  if (count < 2) {
    consume(pretokenize_chunk(data, chunk));
    return;
  }
  // The pieces are prepared against the clusters as they stand now, while
  // this thread gives each prepared piece's new clusters their ids in turn
  // (those that an earlier piece gave ids keep them): the order of first
  // occurrence in the whole chunk. The copy keeps the helper's reads apart
  // from those insertions.
  const model::UnicodeLookup known = data.unicode_lookup;
  std::vector<PreparedChunk> prepared(count);
  std::vector<std::exception_ptr> failures(count);
  std::vector<std::atomic<bool>> ready(count);
  std::atomic<std::size_t> next_piece{0};
  const auto claim = [&] {
    return next_piece.fetch_add(1, std::memory_order_relaxed);
  };
  const auto prepare = [&](std::size_t piece) {
    try {
      prepared[piece] = prepare_chunk(known, pieces[piece]);
    } catch (...) {
      failures[piece] = std::current_exception();
    }
    ready[piece].store(true, std::memory_order_release);
    ready[piece].notify_one();
  };
  // Whatever ends the call, the helper takes no further piece and is waited
  // for: it works on this frame's data.
  struct Helper {
    std::atomic<std::size_t>& next_piece;
    std::size_t count;
    std::thread thread;
    ~Helper() {
      next_piece.store(count, std::memory_order_relaxed);
      if (thread.joinable()) thread.join();
    }
  } helper{next_piece, count, start_signal_free_thread([&] {
             for (std::size_t piece = claim(); piece < count; piece = claim()) {
               prepare(piece);
             }
           })};
  // Handing the pieces on in order is this thread's own work; while the
  // next one is not ready, it prepares a piece itself, or waits for the one
  // that the helper is preparing. Without a helper, it prepares them all.
  for (std::size_t piece = 0; piece < count; ++piece) {
    while (!ready[piece].load(std::memory_order_acquire)) {
      const std::size_t claimed = claim();
      if (claimed < count) {
        prepare(claimed);
      } else {
        ready[piece].wait(false, std::memory_order_acquire);
      }
    }
    if (failures[piece]) std::rethrow_exception(failures[piece]);
    consume(commit_chunk(data, std::move(prepared[piece])));
  }
}

std::vector<model::TokenId> pretokenize_chunk_in_pieces(
    model::Data& data, std::string_view chunk) {
  std::vector<model::TokenId> ids;
  pretokenize_chunk_in_pieces(data, chunk,
                              [&](std::span<const model::TokenId> part) {
                                ids.insert(ids.end(), part.begin(), part.end());
                              });
  return ids;
}

}  // namespace selvane::training
