#include "model/load.h"

#include <fcntl.h>

#include <string>

#include "base/file_io.h"
#include "model/model_file.h"

namespace selvane::model {
namespace {

constexpr std::string_view kPrefix = "Should work";

}  // namespace

Data load_from_file(std::string_view filename) {
  check_path(filename, kPrefix);
  std::string bytes;
  {
    const UniqueFd file = open_file(std::string(filename), O_RDONLY, kPrefix);
    bytes = read_all(file.get(), kPrefix);
  }
  try {
    return decode_model(bytes);
  } catch (const ModelFileError& error) {
    fail(kPrefix, error.description());
  }
}

}  // namespace selvane::model
