#include "input_file.h"

#include <string>

namespace kzb {
namespace {

class InputRefusalCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "kzb-input"; }
  std::string message(int condition) const override {
    switch (static_cast<InputRefusal>(condition)) {
      case InputRefusal::pipe:
        return "not a regular file: a pipe cannot be read twice";
      case InputRefusal::socket:
        return "not a regular file: a socket cannot be read twice";
      case InputRefusal::characterDevice:
        return "not a regular file: a character device cannot be read twice";
      case InputRefusal::otherKind:
        break;
    }
    return "not a regular file";
  }
};

}  // namespace

const std::error_category& inputRefusalCategory() {
  static const InputRefusalCategory category;
  return category;
}

std::error_code make_error_code(InputRefusal refusal) {
  return {static_cast<int>(refusal), inputRefusalCategory()};
}

bool isOutOfDescriptors(const std::error_code& error) {
  return &error.category() == &std::generic_category() &&
         (error.value() == static_cast<int>(std::errc::too_many_files_open) ||
          error.value() == static_cast<int>(std::errc::too_many_files_open_in_system));
}

}  // namespace kzb
