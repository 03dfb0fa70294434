#include "model/load.h"

#include "base/panic.h"

namespace selvane::model {

Data load_from_file(std::string_view) {
  panic("load_from_file is not built yet");
}

}  // namespace selvane::model
