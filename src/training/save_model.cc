#include "training/save_model.h"

#include "base/file_io.h"
#include "model/model_file.h"
#include "training/log_lines.h"

namespace selvane::training {

void save_model(const model::Data& data, Console& console) {
  const std::string image = model::encode_model(data);
  // Written beside the old file and renamed over it, so that a full disk or
  // a crash during the save never destroys the last good model.
  replace_file(kModelFileName, image, "Should work");
  console.print(kSavedBlock);
}

}  // namespace selvane::training
