#ifndef SELVANE_ENGINE_ENGINE_MODEL_H_
#define SELVANE_ENGINE_ENGINE_MODEL_H_

#include <string_view>

#include "codec/encoding_model.h"
#include "model/model_file.h"

namespace selvane::engine {

// EngineModel
//
// The encoding model of an `Engine`, built from the bytes of a model file.
struct EngineModel : codec::EncodingModel {
  // Decodes the model file image `bytes`; throws `model::ModelFileError`.
  explicit EngineModel(std::string_view bytes)
      : EncodingModel(model::decode_model(bytes)) {}
};

}  // namespace selvane::engine

#endif  // SELVANE_ENGINE_ENGINE_MODEL_H_
