#include "training/train.h"

#include "base/panic.h"

namespace selvane::training {

void train(model::Data&, const std::string&, bool, const std::string&) {
  panic("train is not built yet");
}

}  // namespace selvane::training
