// A container converted into an EPUB 3 book that e-readers open in the book's reading
// direction. Which rows are in it is decided as for the CBZ (convert.h: planMembers, the same
// names refused, the same row of several of one name), and then by what each stored file is:
//  - an image (image_info.h, told by its bytes): one fixed-layout page, an XHTML document
//    whose viewport is the image's own size in pixels, showing the image; the first is the
//    book's cover image;
//  - text (a name ending in .txt, .text or .md, any case; valid UTF-8, at most
//    kLargestText bytes): one reflowable XHTML document holding the text, escaped;
//  - anything else stays out of the book (MemberStatus::notAPage).
// The spine keeps table order. The book is pre-paginated; page-progression-direction is rtl
// for R->L binding, ltr for L->R and left out where the container defines none, and the
// pages alternate between the two sides of a spread as a printed book's do in that
// direction, the first page on its own (right for ltr, left for rtl).
//
// The package's metadata comes from the container: dc:title (or `fallbackTitle` where it
// has none), dc:creator (writer, role aut), dc:publisher, dc:date (the created-at date as far
// as it goes), dc:subject (genre), dc:description (comment), dc:rights (copyright),
// dc:identifier (urn:isbn: where the ISBN's check digit holds, else urn:uuid: of a UUID
// worked out from the metadata and the file table, so the same container gives the same
// book), dc:language (`language`), dcterms:modified (`modified`). The navigation document
// has one entry per page or text, named by its stored name.
//
// The ZIP: mimetype first, stored, with no extra field; every member's time `modified`;
// the stored files under names of the book's own (images/0001.jpg), so that no stored name,
// however hostile, becomes a path in the book. The same container gives the same bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "convert.h"

namespace kzb {

inline constexpr std::size_t kLargestText = std::size_t{16} * 1024 * 1024;

struct EpubOptions {
  ConvertOptions zip;          // deflate, renumber (of the navigation's labels), time, limits
  std::string language = "und";  // a BCP 47 tag (isLanguageTag)
  std::string fallbackTitle;   // the title where the container has none
};

struct EpubResult {
  ConvertStatus status = ConvertStatus::complete;
  std::error_code error;
  std::size_t pages = 0;     // image pages
  std::size_t texts = 0;     // text documents
  std::size_t failures = 0;  // rows for which isFailure holds
  std::size_t leftOut = 0;   // rows that are neither image nor text
};

// Writes the EPUB of `archive`'s rows, read from `input`, into `out` from its current end;
// `report` hears of every row as convertToZip's does.
EpubResult convertToEpub(ContainerInput& input, const Archive& archive, ByteSink& out,
                         const EpubOptions& options, const MemberReport& report = {});

// Whether `tag` has the form of a BCP 47 language tag: a language of 2 to 8 letters, then
// subtags of 1 to 8 letters or digits, joined by hyphens.
bool isLanguageTag(std::string_view tag);

// Whether `isbn` (hyphens and spaces aside) is an ISBN-10 or ISBN-13 whose check digit holds;
// `digits` gets it without them.
bool isValidIsbn(std::string_view isbn, std::string& digits);

}  // namespace kzb
