// What every platform's output file shares: the buffer between the copy and the system.
#include <algorithm>
#include <cstring>

#include "output_file.h"

namespace kzb {
namespace {

// One system call per 64 KiB written, whatever the copy block: small files take one write.
constexpr std::size_t kBufferSize = std::size_t{64} * 1024;

}  // namespace

std::error_code OutputFile::write(std::span<const std::byte> bytes) {
  if (failure_) {
    return failure_;
  }
  if (!buffer_) {
    buffer_ = std::make_unique_for_overwrite<std::byte[]>(kBufferSize);
  }
  if (bytes.size() >= kBufferSize) {
    // As large as the buffer, the bytes would only pass through it: what is buffered goes
    // first, then the bytes as they are.
    std::error_code error;
    if (flush(error) && writeAll(handle_, bytes, failure_)) {
      written_ += bytes.size();
    }
    return failure_;
  }
  while (!bytes.empty()) {
    if (buffered_ == kBufferSize && !flush(failure_)) {
      return failure_;
    }
    const std::size_t count = std::min(bytes.size(), kBufferSize - buffered_);
    std::memcpy(buffer_.get() + buffered_, bytes.data(), count);
    buffered_ += count;
    bytes = bytes.subspan(count);
  }
  return {};
}

std::error_code OutputFile::finishWriting(bool startWriteback) {
  std::error_code error;
  if (flush(error)) {
    identified_ = identify(handle_, identity_, identifiedSize_);
    if (startWriteback) {
      beginWriteback(handle_);
    }
  }
  buffer_.reset();
  return error;
}

std::uint64_t OutputFile::appendCopy(const InputFile& source, std::uint64_t offset,
                                     std::uint64_t count) {
  if (!source.isOpen() || offset >= source.size()) {
    return 0;
  }
  count = std::min(count, source.size() - offset);
  std::error_code error;
  if (count == 0 || !flush(error)) {
    return 0;  // a write failure stays in failure_, for the next write() or commit()
  }
  const std::uint64_t copied = copyInSystem(handle_, source, offset, count);
  written_ += copied;
  return copied;
}

std::error_code OutputFile::overwrite(std::uint64_t offset, std::span<const std::byte> bytes) {
  std::error_code error;
  if (!flush(error)) {
    return error;
  }
  if (offset > written_ || bytes.size() > written_ - offset) {
    return std::make_error_code(std::errc::invalid_argument);  // only bytes already written
  }
  if (!writeAllAt(handle_, offset, bytes, error)) {
    failure_ = error;
  }
  return error;
}

std::error_code OutputFile::truncate(std::uint64_t size) {
  std::error_code error;
  if (!flush(error)) {
    return error;
  }
  if (size > written_) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  if (!cutAt(handle_, size, error)) {
    failure_ = error;
    return error;
  }
  written_ = size;
  return {};
}

bool OutputFile::flush(std::error_code& error) {
  if (failure_) {
    error = failure_;
    return false;
  }
  const std::span<const std::byte> pending(buffer_.get(), buffered_);
  buffered_ = 0;
  if (!pending.empty() && !writeAll(handle_, pending, error)) {
    failure_ = error;
    return false;
  }
  written_ += pending.size();
  return true;
}

}  // namespace kzb
