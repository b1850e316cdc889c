// A container's metadata in the two documents that readers of comics and e-books import:
// ComicInfo.xml (the ComicInfo 2.1 draft schema) and an OPF 2.0 package document.
//
// Each stored text is taken as the listings take it: up to its first zero unit, a surrogate
// without its partner as U+FFFD. Control characters other than tab, newline and carriage
// return are left out (XML 1.0 cannot carry most of them, and none belongs in a title), as are
// U+FFFE and U+FFFF, which XML cannot carry either; a carriage return is written as a
// character reference, so that a parser gives it back rather than folding it into a newline.
// An element appears only when its text is not empty after that.
//
// The created-at text is a date when it starts with a year (four digits), a year and a
// month (YYYY-MM) or a whole date (YYYY-MM-DD), each field ending where the digits end;
// a month or a day that no calendar has ends the date before it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "archive.h"

namespace kzb {

// ComicInfo.xml, UTF-8, elements in the schema's order:
//   Title (title), Summary (comment), Notes (copyright, then "Created at: ..." when the
//   created-at text is no date), Year, Month, Day (the created-at date, as far as it goes),
//   Writer, Publisher, Genre, Web (web link), PageCount (`pageCount`), Manga
//   ("YesAndRightToLeft" when the binding is R->L), ScanInformation (converted-by),
//   GTIN (ISBN).
std::string comicInfoXml(const Archive& archive, std::size_t pageCount);

// An OPF 2.0 package document holding the metadata alone, for `ebook-meta --from-opf`:
//   dc:title, dc:creator opf:role="aut" (writer), dc:publisher, dc:date (the created-at
//   date, or its text when it is no date), dc:identifier opf:scheme="ISBN", dc:subject
//   (genre), dc:rights (copyright), dc:description (comment), dc:source (web link),
//   dc:contributor opf:role="bkp" (converted-by). No dc:language: the container does not say.
std::string opfPackage(const Archive& archive);

// The date that the created-at text starts with, as far as it goes (see above).
struct CreatedDate {
  int year = 0;
  std::optional<unsigned> month;
  std::optional<unsigned> day;
  std::size_t length = 0;  // of the text the date takes
};
std::optional<CreatedDate> createdDate(std::string_view text);

// A stored text as these documents carry it, before escaping (see above).
std::string documentText(std::u16string_view stored);
// UTF-8 text escaped for XML character data (not for attribute values: a quote stays).
std::string xmlEscaped(std::string_view text);

}  // namespace kzb
