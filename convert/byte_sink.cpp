#include "byte_sink.h"

#include <algorithm>

namespace kzb {

std::error_code MemorySink::append(std::span<const std::byte> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return {};
}

std::error_code MemorySink::overwrite(std::uint64_t offset, std::span<const std::byte> bytes) {
  if (offset > bytes_.size() || bytes.size() > bytes_.size() - offset) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
  return {};
}

std::error_code MemorySink::truncate(std::uint64_t size) {
  if (size > bytes_.size()) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  bytes_.resize(static_cast<std::size_t>(size));
  return {};
}

}  // namespace kzb
