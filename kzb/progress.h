// The progress of an extraction: one line on standard error, rewritten in place, once the
// run has lasted long enough to be worth it (Context::progressDelay), and cleared at the end.
// Never on standard output, so that nothing a script reads there changes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "archive.h"
#include "commands.h"

namespace kzb::tool {

class Progress {
 public:
  // Shown when the mode says always, or automatic and standard error is a terminal. The run
  // starts counting now.
  Progress(Context& context, ProgressMode mode);
  ~Progress() { hide(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // A container begins: its files and bytes are the totals from here on.
  void begin(std::size_t files, std::uint64_t bytes);
  // One more entry is done, whatever became of it.
  void advance(const FileEntry& entry);
  // Clears the line, if one shows, so that other output starts at the left margin. The next
  // advance() draws it again.
  void hide();

 private:
  using Clock = std::chrono::steady_clock;
  void draw(const FileEntry& entry);

  Context& context_;
  bool shown_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point lastDrawn_{};
  std::size_t width_ = 0;  // columns the line takes on the terminal; 0 when none shows
  std::size_t filesTotal_ = 0;
  std::size_t filesDone_ = 0;
  std::uint64_t bytesTotal_ = 0;
  std::uint64_t bytesDone_ = 0;
  std::uint64_t bytesInRun_ = 0;  // over every container, for the rate
};

// A byte count as the progress line shows it: "512 B", "3.4 KiB", "12.0 MiB", "1.5 GiB".
std::string humanBytes(std::uint64_t bytes);

}  // namespace kzb::tool
