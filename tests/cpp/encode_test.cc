#include "codec/encode.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/panic.h"
#include "codec/counted_sequence.h"
#include "codec/merge_engine.h"
#include "codec/merge_loop.h"
#include "codec/plain_merge_sequence.h"
#include "lockstep.h"
#include "testing/capture.h"
#include "testing/merge_learning_on_ids.h"
#include "text/grapheme.h"
#include "text/utf8.h"
#include "training/id_allocation.h"
#include "training/merge_learning.h"
#include "training/pretokenize.h"

namespace selvane::codec {
namespace {

using model::Data;
using model::pair_key;
using model::TokenId;
using Ids = std::vector<TokenId>;

// A model with the given cluster ids and merges; `lookup` stays empty because
// encoding never reads it.
Data make_model(
    std::initializer_list<std::pair<std::string, TokenId>> clusters,
    std::initializer_list<std::pair<std::pair<TokenId, TokenId>, TokenId>>
        merges = {}) {
  Data data;
  for (const auto& [text, id] : clusters)
    data.unicode_lookup.insert_or_assign(text, id);
  for (const auto& [pair, merged] : merges) {
    data.merges[pair_key(pair.first, pair.second)] = merged;
  }
  return data;
}

// Returns the message of the panic that `encode` raises, or "" if none.
std::string encode_panic(const Data& data, std::string_view st) {
  try {
    encode(data, st);
  } catch (const Panic& failure) {
    return failure.message();
  }
  return "";
}

constexpr TokenId kA = 1, kB = 2, kC = 3;

TEST(Encode, MergesByTheTextsOwnMostFrequentPair) {
  // a a a: (a, a) -> X gives [X, a], then (X, a) -> Y gives [Y].
  const Data both = make_model({{"a", kA}}, {{{kA, kA}, 7}, {{7, kA}, 8}});
  EXPECT_EQ(encode(both, "aaa"), (Ids{8}));
  const Data first_only = make_model({{"a", kA}}, {{{kA, kA}, 7}});
  EXPECT_EQ(encode(first_only, "aaa"), (Ids{7, kA}));
  // Two clusters whose pair merges leave the one merged id.
  const Data ab =
      make_model({{"a", kA}, {"b", kB}}, {{{kA, kB}, 9}, {{9, 9}, 10}});
  EXPECT_EQ(encode(ab, "ab"), (Ids{9}));
  // Every occurrence goes at once, then the merged pair is itself counted.
  EXPECT_EQ(encode(ab, "abab"), (Ids{10}));
  // [9, 9, a]: (9, 9) and (9, a) tie, the smaller (9, a) has no merge.
  EXPECT_EQ(encode(ab, "ababa"), (Ids{9, 9, kA}));
}

TEST(Encode, StopsAtTheFirstMostFrequentPairWithoutMerge) {
  const Data data =
      make_model({{"a", kA}, {"b", kB}, {"c", kC}}, {{{kB, kC}, 9}});
  // (a, b) occurs twice and has no merge, so (b, c) is never tried.
  EXPECT_EQ(encode(data, "abcab"), (Ids{kA, kB, kC, kA, kB}));
  // Equal counts: the smallest pair, (a, b), is chosen and stops the loop.
  EXPECT_EQ(encode(data, "abc"), (Ids{kA, kB, kC}));
  // Here (b, c) is the smallest of the equal counts and merges.
  EXPECT_EQ(encode(data, "bca"), (Ids{9, kA}));
  // Two known clusters whose pair has no merge come back as they are.
  EXPECT_EQ(encode(data, "ba"), (Ids{kB, kA}));
}

TEST(Encode, TiesGoToTheSmallestPairEveryTime) {
  const Data data = make_model({{"a", kA}, {"b", kB}, {"c", kC}},
                               {{{kA, kB}, 9}, {{kB, kC}, 10}});
  // (a, b) and (b, c) both occur once: (a, b) wins, then (9, c) has none.
  for (int run = 0; run < 5; ++run) {
    EXPECT_EQ(encode(data, "abc"), (Ids{9, kC}));
  }
}

TEST(Encode, UnknownClustersTakeTheOovId) {
  const Data data =
      make_model({{"oov", 0}, {"a", kA}, {"b", kB}}, {{{kA, kB}, 9}});
  // Three different unknown clusters give three equal ids.
  EXPECT_EQ(encode(data, "xyz"), (Ids{0, 0, 0}));
  // [a, b, 0, 0, 0]: (0, 0) is the most frequent pair and has no merge, so
  // even (a, b) stays.
  EXPECT_EQ(encode(data, "abxyz"), (Ids{kA, kB, 0, 0, 0}));
  // The literal text "oov" is three clusters, not the reserved key.
  EXPECT_EQ(encode(data, "oov"), (Ids{0, 0, 0}));
  // The oov id merges like any other when the model holds such a merge.
  const Data oov_merges = make_model({{"oov", 5}, {"a", kA}}, {{{5, 5}, 9}});
  EXPECT_EQ(encode(oov_merges, "xyz"), (Ids{9, 5}));
  EXPECT_EQ(encode(oov_merges, "xyza"), (Ids{9, 5, kA}));
}

TEST(Encode, ShortTextsAndEmptyMergesNeedNoPair) {
  const Data data = make_model({{"oov", 0}, {"a", kA}, {"b", kB}});
  EXPECT_EQ(encode(data, ""), Ids{});
  EXPECT_EQ(encode(data, "a"), (Ids{kA}));
  EXPECT_EQ(encode(data, "q"), (Ids{0}));
  // With no merges at all the base ids are the result.
  EXPECT_EQ(encode(data, "abba"), (Ids{kA, kB, kB, kA}));
  EXPECT_EQ(encode(Data{}, ""), Ids{});
}

TEST(Encode, MissingOovFailsOnTheFirstUnknownCluster) {
  const std::string unwrap = "called `Option::unwrap()` on a `None` value";
  const Data data = make_model({{"a", kA}}, {{{kA, kA}, 7}});
  // Base ids come before any counting, so one unknown cluster fails too.
  EXPECT_EQ(encode_panic(data, "q"), unwrap);
  EXPECT_EQ(encode_panic(data, "aaq"), unwrap);
  EXPECT_EQ(encode_panic(Data{}, "a"), unwrap);
  // A text whose clusters are all keys needs no "oov".
  EXPECT_EQ(encode(data, "aa"), (Ids{7}));
}

TEST(Encode, LooksUpWholeGraphemeClusters) {
  const std::string beh = "\u0628";
  const std::string beh_fatha = "\u0628\u064E";
  const std::string beh_shadda_fatha = "\u0628\u0651\u064E";
  const Data data = make_model(
      {{"oov", 0}, {beh, 4}, {beh_fatha, 5}, {"\r\n", 6}, {"a", kA}});
  // A letter with its marks is one key; the bare letter is another.
  EXPECT_EQ(encode(data, beh_fatha + beh), (Ids{5, 4}));
  // An unknown combination becomes one oov id, the bare letter not looked up.
  EXPECT_EQ(encode(data, beh_shadda_fatha), (Ids{0}));
  EXPECT_EQ(encode(data, beh_shadda_fatha + beh_fatha), (Ids{0, 5}));
  // CR LF is one cluster, looked up as one two-byte key.
  EXPECT_EQ(encode(data, "a\r\na"), (Ids{kA, 6, kA}));
  EXPECT_EQ(encode(data, "\n\r"), (Ids{0, 0}));
}

// A model of `letters` clusters 'a', 'b', ... with ids 1, 2, ... after the
// oov entry at 0, and no merges yet.
Data letters_model(int letters) {
  Data data;
  data.unicode_lookup.insert_or_assign("oov", 0);
  for (int i = 0; i < letters; ++i) {
    data.unicode_lookup.insert_or_assign(
        std::string(1, static_cast<char>('a' + i)),
        static_cast<TokenId>(i + 1));
  }
  return data;
}

TEST(Encode, LongTextsGiveThePlainLoopsIds) {
  // Long texts take another merge sequence than short ones; around and far
  // past that length the ids must be those of recounting before each pass.
  std::mt19937 random(7);
  int merged_trials = 0;
  for (int trial = 0; trial < 60; ++trial) {
    const int letters = 2 + trial % 4;
    Data data = letters_model(letters);
    // Most base pairs merge, so that passes go on; later merges join ids
    // made by earlier ones.
    TokenId next = static_cast<TokenId>(letters + 1);
    std::bernoulli_distribution mostly(0.8);
    for (int first = 0; first <= letters; ++first) {
      for (int second = 0; second <= letters; ++second) {
        if (mostly(random)) {
          data.merges[pair_key(static_cast<TokenId>(first),
                               static_cast<TokenId>(second))] = next++;
        }
      }
    }
    for (int m = 0; m < 60; ++m) {
      std::uniform_int_distribution<int> any_id(0, next - 1);
      data.merges.try_emplace(pair_key(static_cast<TokenId>(any_id(random)),
                                       static_cast<TokenId>(any_id(random))),
                              next++);
    }
    const auto length = static_cast<std::size_t>(
        trial < 30 ? 100 + 2 * trial : 1000 + 97 * trial);
    std::string text;
    Ids base;
    std::uniform_int_distribution<int> any_letter(0, letters);
    for (std::size_t i = 0; i < length; ++i) {
      const int letter = any_letter(random);  // == letters: unknown
      text += static_cast<char>('a' + letter);
      base.push_back(letter == letters ? 0 : static_cast<TokenId>(letter + 1));
    }
    PlainMergeSequence plain(base);
    merge_by_frequency(plain, data.merges);
    EXPECT_EQ(encode(data, text), Ids(plain.ids().begin(), plain.ids().end()))
        << "trial " << trial;
    if (plain.size() < length) ++merged_trials;
  }
  EXPECT_GT(merged_trials, 40);
}

TEST(Encode, StringsOfMillionsOfIdsGiveTheCountedLoopsIds) {
  // Past two million ids encoding keeps to the counted sequence and then
  // the engine, which hold less per id; the ids are those of the counted
  // loop alone (itself checked against the plain loop above), for texts
  // that stop early and one letter doubled into ever longer tokens, whose
  // twenty-odd steps go on past the engine's switch.
  std::mt19937 random(23);
  for (const int letters : {1, 2, 5}) {
    Data data = letters_model(letters);
    TokenId next = static_cast<TokenId>(letters + 1);
    for (TokenId first = 1; first < 40; ++first) {
      for (TokenId second = 1; second < 40; ++second) {
        if (letters == 1 ? first == second && first == next - 1
                         : letters == 5 || (first + second) % 3 != 0) {
          data.merges[pair_key(first, second)] = next++;
        }
      }
    }
    std::string text((std::size_t{1} << 21) + 4097, 'a');
    std::uniform_int_distribution<int> any_letter(0, letters - 1);
    for (char& c : text) c = static_cast<char>('a' + any_letter(random));
    const Ids base = base_ids(data.unicode_lookup, text);
    CountedSequence counted(base);
    merge_by_frequency(counted, data.merges);
    const Ids expected(counted.ids().begin(), counted.ids().end());
    EXPECT_LT(expected.size(), base.size());
    EXPECT_EQ(encode(data, text), expected) << letters << " letters";
  }
}

TEST(Encode, RealTextOfEverySizeGivesThePlainLoopsIds) {
  // A model learned from the start of the sample, then pieces of the rest
  // from a few bytes (sentences, where the counted sequence does all the
  // work) to 200 KB (where the indexed sequence does), each against the
  // plain loop on the same base ids.
  Data data;
  training::write_reserved_entries(data);
  testing::StringConsole console;
  testing::StringLogSink log;
  training::learn_merges<MergeEngine>(
      training::pretokenize_chunk(data, lockstep::read_sample(0, 300'000)),
      data, false, log, console);
  const std::string rest = lockstep::read_sample(300'000, 690'000);
  ASSERT_EQ(rest.size(), 690'000u);
  std::mt19937 random(17);
  std::size_t at = 0;
  int merged_pieces = 0;
  for (int piece = 0; piece < 400 && at < rest.size(); ++piece) {
    const std::size_t length =
        piece < 380 ? 2 + random() % 300 : std::size_t{1000} << (piece % 8);
    // Cut on a character boundary; the segmenter sees what encode sees.
    std::size_t end = std::min(rest.size(), at + length);
    while (end < rest.size() &&
           (static_cast<unsigned char>(rest[end]) & 0xC0) == 0x80) {
      ++end;
    }
    const std::string_view text(rest.data() + at, end - at);
    at = end;
    const Ids base = base_ids(data.unicode_lookup, text);
    if (base.size() < 2) continue;
    PlainMergeSequence plain(base);
    merge_by_frequency(plain, data.merges);
    const Ids expected(plain.ids().begin(), plain.ids().end());
    ASSERT_EQ(encode(data, text), expected) << "piece " << piece;
    if (expected.size() < base.size()) ++merged_pieces;
  }
  EXPECT_GT(merged_pieces, 300);
}

TEST(Encode, LongTextsLookUpEveryClusterAsTheModelDoes) {
  // Long texts look clusters up through a cache keyed by their bytes. Every
  // id must still be the model's: clusters of 1 to 13 bytes (the cache
  // holds up to 8), NUL, more distinct clusters than the cache has entries,
  // unknown ones, and clusters within the last word of the text.
  Data data;
  data.unicode_lookup.insert_or_assign("oov", 7);
  std::vector<std::string> clusters = {std::string(1, '\0'), "a", "\r\n"};
  for (int marks = 0; marks <= 5; ++marks) {
    std::string beh = "\u0628";
    std::string e = "e";
    for (int m = 0; m < marks; ++m) {
      beh += "\u064E";
      e += "\u0301";
    }
    clusters.push_back(beh);  // 2 to 12 bytes
    clusters.push_back(e);    // 1 to 11 bytes
  }
  clusters.push_back("\U0001F600\U0001F3FD");  // 8 bytes, one cluster
  clusters.push_back("\U0001F1F8\U0001F1E6");  // a flag: 8 bytes
  clusters.push_back("\u0628\u0651\u064E\u0651\u064E\u0651\u064E");
  for (char32_t c = 0x4E00; c < 0x4E00 + 6000; ++c) {  // 3 bytes each
    std::string han;
    text::append_code_point(han, c);
    clusters.push_back(han);
  }
  std::mt19937 random(23);
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    // About one cluster in five stays unknown.
    if (random() % 5 != 0) {
      data.unicode_lookup.insert_or_assign(clusters[i],
                                           static_cast<TokenId>(100 + i));
    }
  }
  const auto expected_ids = [&](std::string_view text) {
    Ids ids;
    text::for_each_grapheme(text, [&](std::string_view cluster) {
      const auto known = data.unicode_lookup.find(cluster);
      ids.push_back(known == data.unicode_lookup.end() ? TokenId{7}
                                                       : known->second);
    });
    return ids;
  };
  for (const std::size_t length : {std::size_t{16383}, std::size_t{16384},
                                   std::size_t{16390}, std::size_t{100'000}}) {
    for (int trial = 0; trial < 4; ++trial) {
      std::string text;
      while (text.size() < length) {
        // Mostly a small set, so the cache hits; sometimes any cluster.
        const std::size_t pick =
            random() % 4 == 0 ? random() % clusters.size() : random() % 20;
        // Separated by a space, so that neighbours do not join.
        text += clusters[pick];
        text += ' ';
      }
      // End on clusters shorter than a word, with nothing after them.
      text += clusters[static_cast<std::size_t>(trial % 3)];
      text += clusters[1 + random() % 12];
      ASSERT_EQ(base_ids(data.unicode_lookup, text), expected_ids(text))
          << "length " << length << " trial " << trial;
    }
  }
}

TEST(Encode, LongTextsWithoutOovFailOnlyOnAnUnknownCluster) {
  const std::string unwrap = "called `Option::unwrap()` on a `None` value";
  const Data data = make_model({{"a", kA}, {"b", kB}});
  std::string text;
  while (text.size() < 40'000) text += "ab";
  EXPECT_EQ(base_ids(data.unicode_lookup, text).size(), text.size());
  EXPECT_EQ(encode_panic(data, text + "q"), unwrap);
  EXPECT_EQ(encode_panic(data, "q" + text), unwrap);
}

}  // namespace
}  // namespace selvane::codec
