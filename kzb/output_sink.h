// Where kzb convert writes a ZIP: an output file (output_file.h), seen as the ByteSink that the
// ZIP writer asks for. The file keeps its guarantees: nothing shows under its name until
// commit(), and abandoning it leaves nothing. Errors come back as the output file gives them;
// after one, the file can only be abandoned.
#pragma once

#include <cstdint>
#include <span>
#include <system_error>

#include "byte_sink.h"
#include "output_file.h"

namespace kzb::tool {

class OutputFileSink final : public ByteSink {
 public:
  // `file` must have been created, and outlive the sink.
  explicit OutputFileSink(OutputFile& file) : file_(file) {}

  std::error_code append(std::span<const std::byte> bytes) override { return file_.write(bytes); }
  std::error_code overwrite(std::uint64_t offset, std::span<const std::byte> bytes) override {
    return file_.overwrite(offset, bytes);
  }
  std::error_code truncate(std::uint64_t size) override { return file_.truncate(size); }
  std::uint64_t size() const override { return file_.size(); }

 private:
  OutputFile& file_;
};

}  // namespace kzb::tool
