#include "container_input.h"

#include <algorithm>
#include <cstring>

namespace kzb {

std::error_code ContainerInput::open(const std::string& path) {
  close();
  buffer_.resize(kBufferSize);
  return file_.open(path);
}

void ContainerInput::close() {
  file_.close();
  bufferStart_ = 0;
  bufferLength_ = 0;
  offset_ = 0;
  atEnd_ = false;
  readError_.clear();
}

std::size_t ContainerInput::read(std::span<std::byte> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const bool buffered = offset_ >= bufferStart_ && offset_ < bufferStart_ + bufferLength_;
    if (!buffered && out.size() >= buffer_.size()) {
      return done + readDirect(out.subspan(done));
    }
    if (!buffered && !refill()) {
      break;
    }
    const auto at = static_cast<std::size_t>(offset_ - bufferStart_);
    const std::size_t count = std::min(out.size() - done, bufferLength_ - at);
    std::memcpy(out.data() + done, buffer_.data() + at, count);
    done += count;
    offset_ += count;
  }
  return done;
}

bool ContainerInput::refill() {
  if (!file_.isOpen()) {
    atEnd_ = true;
    return false;
  }
  // The size at opening bounds the request, so the end of the file costs no system call.
  if (offset_ >= file_.size()) {
    atEnd_ = true;
    return false;
  }
  // Reading on from the buffer's end, or from less than a buffer past it, fills all of it.
  // After a longer jump (over a large payload, copied by the system or stepped over by the
  // walk) or one backwards, what follows is most likely a chunk header and another payload
  // that will not come through the buffer: a page will do, and the next refill reads on.
  const std::uint64_t bufferEnd = bufferStart_ + bufferLength_;
  const bool readingOn =
      bufferLength_ > 0 && offset_ >= bufferEnd && offset_ - bufferEnd < buffer_.size();
  const std::size_t size = readingOn ? buffer_.size() : kJumpReadSize;
  const auto wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, file_.size() - offset_));
  std::error_code error;
  bufferStart_ = offset_;
  bufferLength_ = file_.readAt(offset_, std::span(buffer_).first(wanted), error);
  if (error) {
    bufferLength_ = 0;  // what came before the error is read again by the next attempt
    readError_ = error;
    return false;
  }
  if (bufferLength_ == 0) {
    atEnd_ = true;
    return false;
  }
  return true;
}

// A read as large as the buffer would only pass through it: once the buffer's bytes are
// taken, the rest comes straight from the file. The buffer keeps what it held.
std::size_t ContainerInput::readDirect(std::span<std::byte> out) {
  if (!file_.isOpen() || offset_ >= file_.size()) {
    atEnd_ = true;
    return 0;
  }
  const auto wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), file_.size() - offset_));
  std::error_code error;
  const std::size_t got = file_.readAt(offset_, out.first(wanted), error);
  if (error) {
    readError_ = error;  // as for the buffer: what came before the error is read again
    return 0;
  }
  offset_ += got;
  atEnd_ = got < out.size();
  return got;
}

// Within the buffer, a move costs nothing: adjacent stored files and small payloads are read
// without asking the system again.
void ContainerInput::skip(std::uint64_t count) {
  seek(offset_ + count);
}

void ContainerInput::seek(std::uint64_t offset) {
  offset_ = offset;
  atEnd_ = false;
  readError_.clear();
}

}  // namespace kzb
