#include "training/pretokenize.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/panic.h"
#include "testing/unicode_lookup_extras.h"
#include "training/id_allocation.h"

namespace selvane::training {
namespace {

using model::TokenId;
using Ids = std::vector<TokenId>;

model::Data empty_model() {
  model::Data data;
  write_reserved_entries(data);
  return data;
}

TEST(ReplaceMarkers, BothMarkersBecomeCarets) {
  EXPECT_EQ(replace_markers("<|im_start|>hi<|im_end|>"), "^hi^");
  EXPECT_EQ(replace_markers("<|im_end|><|im_start|><|im_start|>"), "^^^");
  // Cut markers, as at a chunk boundary, stay as they are.
  EXPECT_EQ(replace_markers("x<|im_sta"), "x<|im_sta");
  EXPECT_EQ(replace_markers("rt|>y"), "rt|>y");
  EXPECT_EQ(replace_markers(""), "");
}

TEST(PretokenizeChunk, NewClustersTakeIdsInOrderOfFirstOccurrence) {
  model::Data data = empty_model();
  EXPECT_EQ(pretokenize_chunk(data, "<|im_start|>hi<|im_end|>"),
            (Ids{1, 2, 3, 1}));
  EXPECT_EQ(id_at(data.unicode_lookup, "^"), 1);
  EXPECT_EQ(*data.lookup.find(1), "^");
  EXPECT_EQ(*data.lookup.find(3), "i");
  // Known clusters keep their ids; new ones continue after the last id.
  EXPECT_EQ(pretokenize_chunk(data, "hio"), (Ids{2, 3, 4}));
  EXPECT_EQ(data.lookup.size(), 5u);
  EXPECT_EQ(data.unicode_lookup.size(), 5u);
  EXPECT_EQ(id_at(data.unicode_lookup, "oov"), 0);
  EXPECT_TRUE(pretokenize_chunk(data, "").empty());
}

TEST(PretokenizeChunk, IllFormedBytesBecomeReplacementCharacters) {
  model::Data data = empty_model();
  EXPECT_EQ(pretokenize_chunk(data, "\xFF"), Ids{1});
  EXPECT_EQ(*data.lookup.find(1), "\xEF\xBF\xBD");
  // A sequence cut at the end of a chunk, then its continuation byte.
  EXPECT_EQ(pretokenize_chunk(data, "a\xD8"), (Ids{2, 1}));
  EXPECT_EQ(pretokenize_chunk(data, "\xA8"), Ids{1});
}

// The cases below need the Unicode 15.0 segmentation, not one cluster per
// byte.
TEST(PretokenizeChunk, ArabicLetterWithMarksIsOneCluster) {
  model::Data data = empty_model();
  // BEH, SHADDA, FATHA; then BEH alone.
  const std::string beh_marks = "\xD8\xA8\xD9\x91\xD9\x8E";
  EXPECT_EQ(pretokenize_chunk(data, beh_marks + beh_marks), (Ids{1, 1}));
  EXPECT_EQ(*data.lookup.find(1), beh_marks);
  EXPECT_FALSE(contains(data.unicode_lookup, "\xD8\xA8"));
  EXPECT_EQ(pretokenize_chunk(data, "\xD8\xA8"), Ids{2});
}

TEST(PretokenizeChunk, CarriageReturnLineFeedIsOneCluster) {
  model::Data data = empty_model();
  EXPECT_EQ(pretokenize_chunk(data, "a\r\nb\n\r"), (Ids{1, 2, 3, 4, 5}));
  EXPECT_EQ(*data.lookup.find(2), "\r\n");
}

TEST(PretokenizeChunk, IdSpaceExhaustedOrTakenFailsWithoutOverwriting) {
  model::Data full = empty_model();
  for (std::size_t id = 1; id < model::kTokenIdCount; ++id) {
    full.lookup.insert_or_assign(static_cast<TokenId>(id), "x");
  }
  full.unicode_lookup.emplace("a", 1);
  // Known clusters still map.
  EXPECT_EQ(pretokenize_chunk(full, "aa"), (Ids{1, 1}));
  try {
    pretokenize_chunk(full, "ab");
    FAIL() << "expected a panic";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(),
              "All 65,536 token ids are in use: the model has no id left for "
              "a new token");
  }
  EXPECT_FALSE(contains(full.unicode_lookup, "b"));

  // A loaded model with a gap: the next id by count, 2, is taken already.
  model::Data gapped = empty_model();
  gapped.lookup.insert_or_assign(2, "z");
  gapped.unicode_lookup.emplace("z", 2);
  try {
    pretokenize_chunk(gapped, "q");
    FAIL() << "expected a panic";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(),
              "Token id 2 is already in use: the model's ids are not the "
              "numbers below its entry count, so a new token cannot take one");
  }
  EXPECT_EQ(*gapped.lookup.find(2), "z");
  EXPECT_FALSE(contains(gapped.unicode_lookup, "q"));
}

}  // namespace
}  // namespace selvane::training
