// A container's metadata as a ComicBookInfo object, the JSON that calibre, ComicTagger and
// Mylar read from a CBZ's ZIP comment (calibre reads a CBZ's metadata from nowhere else):
//
//   {"appID": "<application>", "lastModified": "YYYY-MM-DD HH:MM:SS" (UTC),
//    "ComicBookInfo/1.0": {"title", "publisher", "publicationYear", "publicationMonth",
//                          "genre", "tags": [genre], "credits": [{"person": writer,
//                          "role": "Writer", "primary": true}], "comments"}}
//
// Each key of the inner object appears only where the container has its text; the year and
// the month (numbers) only where created-at starts with YYYY or YYYY-MM (comic_info.h says
// when it does). Texts are taken as the JSON listing takes them: up to the first zero unit,
// a surrogate without its partner as U+FFFD. The JSON is one line of UTF-8, with the delete
// character and the C1 controls escaped as well, so that printing it never drives a terminal.
//
// A ZIP comment holds at most 65,535 bytes. Where the whole object would be longer, every
// text is cut at a character boundary to the longest length that lets the object fit, so the
// longest texts are the ones shortened and the shorter ones stay whole.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "archive.h"

namespace kzb {

inline constexpr std::size_t kZipCommentLimit = 0xFFFF;

struct ComicBookInfo {
  std::string json;
  bool shortened = false;  // texts were cut to fit `limit`
};

// `application` is appID's value ("kzb/1.1.0"); `modified` is lastModified, the time of the
// container file. The result is at most `limit` bytes, except where even the object without
// any text is longer (a limit below some 150 bytes, which only a test would set).
ComicBookInfo comicBookInfo(const Archive& archive, std::string_view application,
                            std::chrono::sys_seconds modified,
                            std::size_t limit = kZipCommentLimit);

}  // namespace kzb
