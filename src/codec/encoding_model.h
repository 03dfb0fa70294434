#ifndef SELVANE_CODEC_ENCODING_MODEL_H_
#define SELVANE_CODEC_ENCODING_MODEL_H_

#include <utility>

#include "codec/model_tokens.h"
#include "codec/rank_table.h"
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
        tokens(data) {}

  const model::Data data;
  const TokenWidths widths;
  const RankTable ranks;
  const ModelTokens tokens;
};

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_ENCODING_MODEL_H_
