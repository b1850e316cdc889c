// The files one output unit has placed during the run, by the name each was placed under and
// by the identity the file system gives it. When a later name turns out to be taken, this
// tells whether the file standing there is one this run placed under another name: case
// folding (Windows, exFAT, FAT, NTFS) or Unicode normalization made the file system take
// the two names for one file, and the later entry would silently replace the earlier one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "input_file.h"

namespace kzb {

struct PlacedFile {
  std::u16string name;  // as the entry named it, up to its first zero unit
  FileIdentity identity;
  std::uint64_t size = 0;
};

class PlacedFiles {
 public:
  // Records a file placed under `name`. A name placed before now stands for this file: the
  // earlier one was replaced.
  void record(PlacedFile file) {
    if (const auto known = byName_.find(file.name); known != byName_.end()) {
      byIdentity_.erase(files_[known->second].identity);
      files_[known->second] = file;
      byIdentity_[file.identity] = known->second;
      return;
    }
    byName_.emplace(file.name, files_.size());
    byIdentity_[file.identity] = files_.size();
    files_.push_back(std::move(file));
  }

  // The file placed under exactly this name, if any.
  const PlacedFile* byName(std::u16string_view name) const {
    const auto found = byName_.find(std::u16string(name));
    return found == byName_.end() ? nullptr : &files_[found->second];
  }
  // The file placed with this identity, if any.
  const PlacedFile* byIdentity(const FileIdentity& identity) const {
    const auto found = byIdentity_.find(identity);
    return found == byIdentity_.end() ? nullptr : &files_[found->second];
  }
  // Every file placed with this size, for file systems whose identities cannot be trusted.
  std::vector<const PlacedFile*> bySize(std::uint64_t size) const {
    std::vector<const PlacedFile*> found;
    for (const PlacedFile& file : files_) {
      if (file.size == size) {
        found.push_back(&file);
      }
    }
    return found;
  }

 private:
  struct IdentityHash {
    std::size_t operator()(const FileIdentity& identity) const {
      return std::hash<std::uint64_t>{}(identity.file ^ (identity.device * 0x9e3779b97f4a7c15u));
    }
  };
  std::vector<PlacedFile> files_;
  std::unordered_map<std::u16string, std::size_t> byName_;
  std::unordered_map<FileIdentity, std::size_t, IdentityHash> byIdentity_;
};

}  // namespace kzb
