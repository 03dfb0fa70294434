#include "codec/batch_encode.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

#include "codec/rule_encode.h"

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

void encode_block(const model::Data& data, const RankTable& ranks,
                  std::span<const std::string_view> texts, Rule rule,
                  Block& block) {
  block.lengths.reserve(block.end - block.first);
  for (std::size_t i = block.first; i < block.end; ++i) {
    const std::vector<TokenId> ids =
        encode_by_rule(data, ranks, texts[i], rule);
    block.ids.insert(block.ids.end(), ids.begin(), ids.end());
    block.lengths.push_back(ids.size());
  }
}

}  // namespace

FlatIds encode_batch(const model::Data& data, const RankTable& ranks,
                     std::span<const std::string_view> texts, Rule rule,
                     std::size_t threads) {
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
        encode_block(data, ranks, texts, rule, blocks[index]);
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

  FlatIds flat;
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
    block.ids = {};
  }
  return flat;
}

}  // namespace selvane::codec
