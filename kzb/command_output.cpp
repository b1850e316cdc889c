#include "command_output.h"

#include "console.h"
#include "diagnostics.h"
#include "utf8.h"

namespace kzb::tool {

void diagnose(Context& context, std::string_view subject, std::string_view reason) {
  context.err << "kzb: " << printable(subject) << ": " << reason << '\n';
  context.err.flush();
}

bool diagnoseWalk(Context& context, std::string_view container, const Walk& walk) {
  if (walk.readWhole()) {
    return true;
  }
  diagnose(context, container, describe(walk));
  return false;
}

bool diagnoseWalkBeforeWriting(Context& context, std::string_view container, const Walk& walk,
                               std::string_view notDone) {
  if (walk.readNothing() && walk.status == WalkStatus::malformed) {
    diagnose(context, container,
             "not a container (its first chunk cannot be read); " + std::string(notDone));
    return false;
  }
  diagnoseWalk(context, container, walk);
  return !walk.readNothing();
}

void ContainerHeadings::before(std::ostream& out, std::string_view container) {
  before(out, container, first_ ? 0 : 1);
  first_ = false;
}

void ContainerHeadings::before(std::ostream& out, std::string_view container,
                               std::size_t index) const {
  if (several_) {
    out << (index == 0 ? "" : "\n") << "==> " << printable(container) << " <==\n";
  }
}

std::string hexDigits(std::uint64_t value, std::size_t digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(digits, '0');
  for (auto digit = text.rbegin(); digit != text.rend() && value != 0; ++digit) {
    *digit = kDigits[value & 0xfu];
    value >>= 4;
  }
  return text;
}

std::string rightAligned(std::uint64_t value, std::size_t width) {
  std::string text = std::to_string(value);
  return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

std::string_view applicationId() {
  return "kzb/" KZB_VERSION;
}

void noteShortenedComment(Context& context, std::string_view container) {
  diagnose(context, container,
           "note: the metadata is longer than a ZIP comment holds (65535 bytes); its longest "
           "texts are shortened in the ComicBookInfo comment");
}

std::string shownName(const FileEntry& entry) {
  return printable(toUtf8(untilFirstZero(entry.name)));
}

namespace {

// The standard streams know the system's reason; any other stream that failed is said to have
// met an I/O error.
std::error_code outputFailure(const std::ostream& out) {
  if (const auto* standard = dynamic_cast<const console::StandardStream*>(out.rdbuf())) {
    return standard->failure();
  }
  return out ? std::error_code{} : std::make_error_code(std::errc::io_error);
}

}  // namespace

bool outputFailed(Context& context) {
  return static_cast<bool>(outputFailure(context.out));
}

bool diagnoseOutputFailure(Context& context) {
  context.out.flush();
  const std::error_code failure = outputFailure(context.out);
  if (!failure || failure == std::errc::broken_pipe) {
    return false;
  }
  diagnose(context, "standard output", "write failed: " + failure.message());
  return true;
}

}  // namespace kzb::tool
