#ifndef SELVANE_ENGINE_ENGINE_MODEL_H_
#define SELVANE_ENGINE_ENGINE_MODEL_H_

#include <string_view>

#include "codec/rank_table.h"
#include "codec/token_widths.h"
#include "model/data.h"
#include "model/model_file.h"

namespace selvane::engine {

// EngineModel
//
// A model as the engine uses it: never changed after it is built, so any
// number of threads may encode with it at once without a lock. Everything an
// encoding call changes lives in that call.
struct EngineModel {
  // Decodes the model file image `bytes`; throws `model::ModelFileError`.
  explicit EngineModel(std::string_view bytes)
      : data(model::decode_model(bytes)), widths(data), ranks(data.merges) {}

  const model::Data data;
  const codec::TokenWidths widths;
  const codec::RankTable ranks;
};

}  // namespace selvane::engine

#endif  // SELVANE_ENGINE_ENGINE_MODEL_H_
