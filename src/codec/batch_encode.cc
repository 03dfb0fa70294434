#include "codec/batch_encode.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

#include "codec/rule_encode.h"
#include "codec/unit_encode.h"

namespace selvane::codec {
namespace {

using model::TokenId;

// Texts are handed out in blocks of about this many bytes: small enough that
// two threads share a batch of a few long documents evenly, large enough
// that the shared counter is touched rarely.
constexpr std::size_t kBlockBytes = 64 * 1024;

// A run of consecutive texts and, once encoded, their ids end to end.
struct Block {
  std::size_t first = 0;
  std::size_t end = 0;
  std::vector<TokenId> ids;
  std::vector<std::uint64_t> lengths;
  std::uint64_t unknown_clusters = 0;
  std::uint64_t units_with_unknown = 0;
  std::exception_ptr failure;
};

std::vector<Block> make_blocks(std::span<const std::string_view> texts) {
  std::vector<Block> blocks;
  std::size_t first = 0;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    bytes += texts[i].size();
    if (bytes >= kBlockBytes || i + 1 == texts.size()) {
      Block block;
      block.first = first;
      block.end = i + 1;
      blocks.push_back(std::move(block));
      first = i + 1;
      bytes = 0;
    }
  }
  return blocks;
}

// Encodes the texts of `block` with `encode_text(text, ids)`, which appends
// a text's ids and returns its unknown cluster count.
template <typename EncodeText>
void encode_block(std::span<const std::string_view> texts,
                  const EncodeText& encode_text, Block& block) {
  block.lengths.reserve(block.end - block.first);
  for (std::size_t i = block.first; i < block.end; ++i) {
    const std::size_t before = block.ids.size();
    const std::uint64_t unknown = encode_text(texts[i], block.ids);
    block.unknown_clusters += unknown;
    block.units_with_unknown += unknown > 0 ? 1 : 0;
    block.lengths.push_back(block.ids.size() - before);
  }
}

// Encodes every text on `threads` threads and joins the blocks in text order.
template <typename EncodeText>
EncodedUnits encode_in_blocks(std::span<const std::string_view> texts,
                              std::size_t threads,
                              const EncodeText& encode_text) {
  std::vector<Block> blocks = make_blocks(texts);
  std::atomic<std::size_t> next_block{0};
  std::atomic<bool> failed{false};
  // Each thread takes the next block until none is left; a block belongs to
  // one thread, and the blocks are joined in text order afterwards, so the
  // result is the same for any number of threads.
  const auto work = [&]() noexcept {
    for (;;) {
      const std::size_t index = next_block.fetch_add(1);
      if (index >= blocks.size() || failed.load()) return;
      try {
        encode_block(texts, encode_text, blocks[index]);
      } catch (...) {
        blocks[index].failure = std::current_exception();
        failed.store(true);
      }
    }
  };
  const std::size_t helpers =
      std::min(std::max<std::size_t>(threads, 1), blocks.size()) -
      (blocks.empty() ? 0 : 1);
  std::vector<std::thread> pool;
  pool.reserve(helpers);
  try {
    for (std::size_t t = 0; t < helpers; ++t) pool.emplace_back(work);
  } catch (...) {
    // Fewer threads than asked only make it slower; the calling thread
    // still works through every block.
  }
  work();
  for (std::thread& thread : pool) thread.join();

  EncodedUnits units;
  FlatIds& flat = units.flat;
  std::size_t total = 0;
  for (const Block& block : blocks) {
    if (block.failure) std::rethrow_exception(block.failure);
    total += block.ids.size();
  }
  flat.ids.reserve(total);
  flat.offsets.reserve(texts.size() + 1);
  flat.offsets.push_back(0);
  for (Block& block : blocks) {
    flat.ids.insert(flat.ids.end(), block.ids.begin(), block.ids.end());
    for (const std::uint64_t length : block.lengths) {
      flat.offsets.push_back(flat.offsets.back() + length);
    }
    units.unknown_clusters += block.unknown_clusters;
    units.units_with_unknown += block.units_with_unknown;
    block.ids = {};
  }
  return units;
}

}  // namespace

FlatIds encode_batch(const model::Data& data, const RankTable& ranks,
                     std::span<const std::string_view> texts, Rule rule,
                     std::size_t threads) {
  return encode_in_blocks(
             texts, threads,
             [&](std::string_view text, std::vector<TokenId>& ids) {
               const std::vector<TokenId> own =
                   encode_by_rule(data, ranks, text, rule);
               ids.insert(ids.end(), own.begin(), own.end());
               return std::uint64_t{0};
             })
      .flat;
}

EncodedUnits encode_units(const EncodingModel& model,
                          std::span<const std::string_view> texts,
                          const UnitOptions& options, std::size_t threads) {
  return encode_in_blocks(
      texts, threads, [&](std::string_view text, std::vector<TokenId>& ids) {
        return encode_unit(model, text, options, ids);
      });
}

}  // namespace selvane::codec
