#ifndef SELVANE_CODEC_ENCODING_MODEL_H_
#define SELVANE_CODEC_ENCODING_MODEL_H_

#include <utility>

#include "codec/model_tokens.h"
#include "codec/rank_table.h"
#include "codec/special_matcher.h"
#include "codec/token_widths.h"
#include "model/data.h"

namespace selvane::codec {

// EncodingModel
//
// A model with everything encoding derives from it once: never changed after
// it is built, so any number of threads may encode with it at once without a
// lock. Everything an encoding call changes lives in that call.
struct EncodingModel {
  explicit EncodingModel(model::Data model_data)
      : data(std::move(model_data)),
        widths(data),
        ranks(data.merges),
        tokens(data),
        all_specials(tokens.specials) {}

  const model::Data data;
  const TokenWidths widths;
  const RankTable ranks;
  const ModelTokens tokens;
  // Every special token of the model, the set callers most often allow,
  // ready to match without building a matcher per call.
  const SpecialMatcher all_specials;
};

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_ENCODING_MODEL_H_
