#ifndef SELVANE_TESTS_CPP_LOCKSTEP_H_
#define SELVANE_TESTS_CPP_LOCKSTEP_H_

// Drives a fast merge sequence and `PlainMergeSequence` through the same
// calls and compares them after each one, on random, motif and real ids.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "codec/pair_counts.h"
#include "codec/plain_merge_sequence.h"
#include "model/token_id.h"

namespace selvane::codec::lockstep {

using model::pair_first;
using model::pair_key;
using model::pair_second;

inline std::vector<TokenId> to_vector(std::span<const TokenId> ids) {
  return {ids.begin(), ids.end()};
}

// Returns a printable form of a top() result, for failure messages.
inline std::string describe(const std::optional<PairCount>& top) {
  if (!top) return "none";
  return "(" + std::to_string(pair_first(top->pair)) + ", " +
         std::to_string(pair_second(top->pair)) + ") x" +
         std::to_string(top->count);
}

// A fast sequence and the plain reference, driven through the same calls.
template <class Fast>
class Lockstep {
 public:
  explicit Lockstep(const std::vector<TokenId>& ids)
      : plain_(ids), engine_(ids) {}

  // Checks that both agree on size, ids and top, and returns that top.
  std::optional<PairCount> check() {
    EXPECT_EQ(engine_.size(), plain_.size());
    EXPECT_EQ(to_vector(engine_.ids()), to_vector(plain_.ids()));
    const auto expected = plain_.top();
    const auto got = engine_.top();
    EXPECT_EQ(describe(got), describe(expected));
    return expected;
  }

  void ban(PairKey pair) {
    plain_.ban(pair);
    engine_.ban(pair);
  }

  void clear_bans() {
    plain_.clear_bans();
    engine_.clear_bans();
  }

  void apply(PairKey pair, TokenId merged) {
    plain_.apply(pair, merged);
    engine_.apply(pair, merged);
  }

  std::span<const TokenId> ids() const { return plain_.ids(); }

 private:
  PlainMergeSequence plain_;
  Fast engine_;
};

// How a random run picks its steps, as per-mille chances.
struct StepMix {
  int ban = 0;         // ban the top pair instead of applying it
  int other_pair = 0;  // apply a pair that is not the top one
  int collide = 0;     // reuse an existing id as the merged id
  int max_steps = 10000;
  int lift = 0;  // lift every ban before choosing
};

// Runs `ids` through random steps of `mix`, comparing after every step, until
// no pair is eligible. Stops at the first disagreement.
template <class Fast>
void run_random(const std::vector<TokenId>& ids, std::mt19937& rng,
                const StepMix& mix) {
  Lockstep<Fast> both(ids);
  std::uniform_int_distribution<int> mille(0, 999);
  TokenId fresh = 60000;
  for (int step = 0; step < mix.max_steps; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    if (mille(rng) < mix.lift) both.clear_bans();
    const auto top = both.check();
    if (::testing::Test::HasFailure()) return;
    const auto current = both.ids();
    if (!top) {
      if (current.size() < 2) return;
      // Everything is banned: applying still works on banned pairs.
      both.apply(pair_key(current[0], current[1]), fresh++);
      continue;
    }
    PairKey pair = top->pair;
    if (mille(rng) < mix.ban) {
      both.ban(pair);
      continue;
    }
    if (mille(rng) < mix.other_pair) {
      if (mille(rng) < 200) {
        // A pair that is not a window at all: nothing may change.
        pair = pair_key(static_cast<TokenId>(rng()), 65535);
      } else {
        std::uniform_int_distribution<std::size_t> at(0, current.size() - 2);
        const std::size_t i = at(rng);
        pair = pair_key(current[i], current[i + 1]);
      }
    }
    TokenId merged = fresh++;
    if (mille(rng) < mix.collide) {
      switch (rng() % 3) {
        case 0:
          merged = pair_first(pair);
          break;
        case 1:
          merged = pair_second(pair);
          break;
        default:
          merged = current[rng() % current.size()];
          break;
      }
    }
    both.apply(pair, merged);
  }
}

inline std::vector<TokenId> random_ids(std::mt19937& rng, std::size_t length,
                                       int alphabet) {
  std::uniform_int_distribution<int> id(0, alphabet - 1);
  std::vector<TokenId> ids(length);
  for (TokenId& value : ids) value = static_cast<TokenId>(id(rng));
  return ids;
}

// Repeats short random motifs (a b a b a, a a a a, X a X a and the like) so
// that pairs tie and re-form after merges.
inline std::vector<TokenId> motif_ids(std::mt19937& rng, std::size_t length) {
  std::vector<TokenId> ids;
  while (ids.size() < length) {
    const std::size_t motif_length = 1 + rng() % 3;
    std::vector<TokenId> motif(motif_length);
    for (TokenId& value : motif) value = static_cast<TokenId>(rng() % 4);
    const std::size_t repeats = 1 + rng() % 12;
    for (std::size_t r = 0; r < repeats; ++r) {
      ids.insert(ids.end(), motif.begin(), motif.end());
    }
  }
  ids.resize(length);
  return ids;
}

// Returns up to `byte_count` bytes from `offset` of the sample corpus that
// the repository ships; empty, with a test failure, when it cannot be read.
// Runs round `round` of the random cases every fast sequence is held to, by
// `round % 4`: long runs of few ids (up to `max_run` of them) merged into
// ever longer tokens; motifs that tie and re-form, bans lifted now and then
// so that banned pairs come back at the counts their windows reached
// meanwhile; merged ids that are already in the text; texts where almost
// every pair is unique, past a short scan's width and below a heap's floor.
template <class Fast>
void run_mixed_round(int round, std::mt19937& rng, std::size_t max_run) {
  switch (round % 4) {
    case 0:
      run_random<Fast>(random_ids(rng, rng() % max_run, 1 + round % 3), rng,
                       StepMix{50, 100, 0});
      break;
    case 1:
      run_random<Fast>(motif_ids(rng, rng() % 300), rng,
                       StepMix{150, 100, 0, 10000, 60});
      break;
    case 2:
      run_random<Fast>(motif_ids(rng, rng() % 200), rng,
                       StepMix{50, 150, 500, 400});
      break;
    default:
      run_random<Fast>(
          random_ids(rng, 200 + rng() % 800, round % 8 == 3 ? 40 : 65536), rng,
          StepMix{30, 50, 0, 300});
      break;
  }
}

inline std::string read_sample(std::size_t offset, std::size_t byte_count) {
  std::ifstream in(SELVANE_SOURCE_DIR "/data/sample/tashkeela-msa-excerpt.txt",
                   std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "data/sample/tashkeela-msa-excerpt.txt not readable";
    return {};
  }
  in.seekg(static_cast<std::streamoff>(offset));
  std::string text(byte_count, '\0');
  in.read(text.data(), static_cast<std::streamsize>(byte_count));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

// The ids of the code points (or bytes) of the start of a real text, dense
// from 1 in order of first appearance, as training numbers its clusters.
inline std::vector<TokenId> real_text_ids(std::size_t byte_count,
                                          bool code_points) {
  const std::string text = read_sample(0, byte_count);
  std::unordered_map<std::uint32_t, TokenId> dense;
  std::vector<TokenId> ids;
  for (std::size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i++]);
    std::uint32_t unit = byte;
    if (code_points && byte >= 0xC0) {
      const int extra = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : 1;
      unit = byte & (0x3Fu >> extra);
      for (int k = 0; k < extra && i < text.size(); ++k) {
        unit = unit << 6 | (static_cast<unsigned char>(text[i++]) & 0x3Fu);
      }
    }
    const auto [it, added] =
        dense.try_emplace(unit, static_cast<TokenId>(dense.size() + 1));
    ids.push_back(it->second);
  }
  return ids;
}

// 700 learning iterations: merge the top pair under a new id while it occurs
// at least 10 times.
template <class Fast>
void run_learning(const std::vector<TokenId>& ids) {
  Lockstep<Fast> both(ids);
  TokenId fresh = 20000;
  for (int iteration = 0; iteration < 700; ++iteration) {
    SCOPED_TRACE("iteration " + std::to_string(iteration));
    const auto top = both.check();
    if (::testing::Test::HasFailure()) return;
    // Below 10 nothing changes any more, so the later iterations would only
    // repeat this comparison.
    if (!top || top->count < 10) return;
    both.apply(top->pair, fresh++);
  }
}

}  // namespace selvane::codec::lockstep

#endif  // SELVANE_TESTS_CPP_LOCKSTEP_H_
