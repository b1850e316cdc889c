// What the standard streams share on every platform: the buffer, and the rule that the first
// failure is kept and everything after it dropped.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "console.h"

namespace kzb::console {

StandardStream::StandardStream(Stream stream) : stream_(stream) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

StandardStream::~StandardStream() {
  drain();
}

StandardStream::int_type StandardStream::overflow(int_type c) {
  drain();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

std::streamsize StandardStream::xsputn(const char_type* bytes, std::streamsize count) {
  std::streamsize done = 0;
  while (done < count) {
    if (pptr() == epptr()) {
      drain();
    }
    const auto room = static_cast<std::streamsize>(epptr() - pptr());
    const std::streamsize step = std::min(room, count - done);
    std::memcpy(pptr(), bytes + done, static_cast<std::size_t>(step));
    pbump(static_cast<int>(step));
    done += step;
  }
  return count;
}

int StandardStream::sync() {
  drain();
  return 0;
}

void StandardStream::drain() {
  const std::string_view pending(pbase(), static_cast<std::size_t>(pptr() - pbase()));
  if (!pending.empty() && !failure_) {
    failure_ = writeOut(pending);
  }
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

}  // namespace kzb::console
