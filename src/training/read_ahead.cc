#include "training/read_ahead.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>

#include "base/signal_free_thread.h"
#include "training/log_lines.h"

namespace selvane::training {
namespace {

// Returns the id above every known id of `chunk`, from which its new
// clusters can be numbered in the engine until they get their ids, or
// nullopt when they do not fit below 65,536.
std::optional<model::TokenId> first_placeholder(const PreparedChunk& chunk) {
  std::size_t first = 0;
  for (std::size_t i = 0; i < chunk.ids.size(); ++i) {
    if (!chunk.is_new[i])
      first = std::max<std::size_t>(first, chunk.ids[i] + 1);
  }
  if (first + chunk.new_clusters.size() > model::kTokenIdCount) {
    return std::nullopt;
  }
  return static_cast<model::TokenId>(first);
}

}  // namespace

ChunkReadAhead::~ChunkReadAhead() {
  // The call is ending early: the helper need not finish its head start.
  stop_.store(true, std::memory_order_relaxed);
  if (helper_.joinable()) helper_.join();
}

void ChunkReadAhead::start(ChunkReader& reader,
                           const model::UnicodeLookup& unicode_lookup,
                           bool build_engine, const model::Merges* known_merges,
                           std::size_t expected_pairs) {
  reader_ = &reader;
  unicode_lookup_ = &unicode_lookup;
  build_engine_ = build_engine;
  known_merges_ = known_merges;
  expected_pairs_ = expected_pairs;
  stop_.store(false, std::memory_order_relaxed);
  result_ = ReadAheadResult{};
  failure_ = nullptr;
  // When no thread can be started, take() does the work itself.
  helper_ = start_signal_free_thread([this] { run(); });
}

ReadAheadResult ChunkReadAhead::take() {
  stop_.store(true, std::memory_order_relaxed);
  if (helper_.joinable()) {
    helper_.join();
  } else {
    run();
  }
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  return std::move(result_);
}

void ChunkReadAhead::run() {
  try {
    const std::string_view chunk = reader_->next(result_.error);
    if (result_.error != 0) return;
    result_.end = chunk.empty();
    if (result_.end) return;
    result_.chunk = prepare_chunk(*unicode_lookup_, chunk);
    if (!build_engine_) return;
    PreparedChunk& prepared = result_.chunk;
    if (prepared.new_clusters.empty()) {
      result_.engine.emplace(std::move(prepared.ids));
      prepared.ids.clear();
      make_room_for_known_pass();
      if (known_merges_ != nullptr) apply_known_head();
      return;
    }
    // New clusters get their ids only after the current chunk learns its
    // merges, so the engine holds placeholders for them until then; the
    // placeholders rank among the pairs as the ids will.
    const std::optional<model::TokenId> first = first_placeholder(prepared);
    if (!first) return;
    for (std::size_t i = 0; i < prepared.ids.size(); ++i) {
      if (prepared.is_new[i]) {
        prepared.ids[i] = static_cast<model::TokenId>(*first + prepared.ids[i]);
      }
    }
    result_.first_placeholder = *first;
    result_.engine.emplace(std::move(prepared.ids));
    prepared.ids.clear();
    make_room_for_known_pass();
    std::vector<bool>().swap(prepared.is_new);
  } catch (...) {
    failure_ = std::current_exception();
  }
}

void ChunkReadAhead::make_room_for_known_pass() {
  // The known merges of a later chunk create most of its pairs: a chunk of
  // 3 MB starts with 5 to 14 thousand and ends with 100 to 280 thousand as
  // the model grows. Grown as they came, the pair table doubled two or three
  // times per chunk on the calling thread, 5 % of the known-merges pass.
  // Chunks in a row end with about as many pairs, so room for as many as an
  // earlier one ended with is made here, and a table sized for a model of
  // 40 thousand merges is not made for one of 2 thousand.
  result_.engine->reserve_pairs(expected_pairs_);
}

void ChunkReadAhead::apply_known_head() {
  // The head of the known-merges pass: as long as the most frequent pair has
  // a merge in the copy, which holds every merge of the model except those
  // the current chunk is learning, the pass applies it whatever that chunk
  // learns, since a merge once made never changes. The first pair without a
  // merge in the copy may yet get one: the calling thread decides it, and
  // goes on from this state, where no pair has failed.
  codec::MergeEngine& engine = *result_.engine;
  while (!stop_.load(std::memory_order_relaxed)) {
    const auto top = engine.top();
    if (!top) return;
    const auto known = known_merges_->find(top->pair);
    if (known == known_merges_->end()) return;
    engine.apply(top->pair, known->second);
    result_.known_lines += found_match_line(top->pair);
  }
}

}  // namespace selvane::training
