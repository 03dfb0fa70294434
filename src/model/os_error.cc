#include "model/os_error.h"

#include "base/panic.h"

namespace selvane::model {

std::string_view os_error_kind(int) { return "Uncategorized"; }

std::string describe_os_error(int code) {
  return "Os { code: " + std::to_string(code) + " }";
}

}  // namespace selvane::model
