#include "comic_info.h"

#include <chrono>
#include <optional>
#include <string_view>

#include "utf8.h"

namespace kzb {
namespace {

bool leftOut(char16_t unit) {
  const bool control = (unit < 0x20 && unit != u'\t' && unit != u'\n' && unit != u'\r') ||
                       (unit >= 0x7f && unit <= 0x9f);
  return control || unit == 0xfffe || unit == 0xffff;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The number of `count` digits at `at`, where they stand and no digit follows them.
std::optional<int> field(std::string_view text, std::size_t at, std::size_t count) {
  if (text.size() < at + count) {
    return std::nullopt;
  }
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!isDigit(text[i])) {
      return std::nullopt;
    }
    value = value * 10 + (text[i] - '0');
  }
  if (text.size() > at + count && isDigit(text[at + count])) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

// The stored text as the documents carry it, before escaping (see comic_info.h).
std::string documentText(std::u16string_view stored) {
  std::u16string kept;
  for (const char16_t unit : untilFirstZero(stored)) {
    if (!leftOut(unit)) {
      kept.push_back(unit);
    }
  }
  return toUtf8(kept);
}

std::string xmlEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::optional<CreatedDate> createdDate(std::string_view text) {
  const std::optional<int> year = field(text, 0, 4);
  if (!year) {
    return std::nullopt;
  }
  CreatedDate date{*year, std::nullopt, std::nullopt, 4};
  if (text.size() <= 4 || text[4] != '-') {
    return date;
  }
  const std::optional<int> month = field(text, 5, 2);
  if (!month || *month < 1 || *month > 12) {
    return date;
  }
  date.month = static_cast<unsigned>(*month);
  date.length = 7;
  if (text.size() <= 7 || text[7] != '-') {
    return date;
  }
  const std::optional<int> day = field(text, 8, 2);
  const auto inCalendar = [&](int value) {
    return value >= 1 && (std::chrono::year{*year} / std::chrono::month{*date.month} /
                          std::chrono::day{static_cast<unsigned>(value)})
                             .ok();
  };
  if (!day || !inCalendar(*day)) {
    return date;
  }
  date.day = static_cast<unsigned>(*day);
  date.length = 10;
  return date;
}

namespace {

// Writes one element a line, each only when its text is not empty.
class Elements {
 public:
  Elements(std::string& out, std::string_view indent) : out_(out), indent_(indent) {}

  void add(std::string_view name, std::string_view text, std::string_view attributes = {}) {
    if (text.empty()) {
      return;
    }
    out_ += indent_;
    out_ += '<';
    out_ += name;
    out_ += attributes;
    out_ += '>';
    out_ += xmlEscaped(text);
    out_ += "</";
    out_ += name;
    out_ += ">\n";
  }

 private:
  std::string& out_;
  std::string_view indent_;
};

}  // namespace

std::string comicInfoXml(const Archive& archive, std::size_t pageCount) {
  const auto text = [&](Metadata field) { return documentText(archive.text(field)); };
  const std::string createdAt = text(Metadata::createdAt);
  const std::optional<CreatedDate> date = createdDate(createdAt);

  std::string notes = text(Metadata::copyright);
  if (!createdAt.empty() && !date) {
    if (!notes.empty()) {
      notes += '\n';
    }
    notes += "Created at: ";
    notes += createdAt;
  }

  std::string out =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<ComicInfo xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">\n";
  Elements elements(out, "  ");
  elements.add("Title", text(Metadata::title));
  elements.add("Summary", text(Metadata::comment));
  elements.add("Notes", notes);
  if (date) {
    elements.add("Year", std::to_string(date->year));
    if (date->month) {
      elements.add("Month", std::to_string(*date->month));
    }
    if (date->day) {
      elements.add("Day", std::to_string(*date->day));
    }
  }
  elements.add("Writer", text(Metadata::writer));
  elements.add("Publisher", text(Metadata::publisher));
  elements.add("Genre", text(Metadata::genre));
  elements.add("Web", text(Metadata::webLink));
  elements.add("PageCount", std::to_string(pageCount));
  if (archive.header.bindingDirection == 2) {  // R->L (see bindingName)
    elements.add("Manga", "YesAndRightToLeft");
  }
  elements.add("ScanInformation", text(Metadata::convertedBy));
  elements.add("GTIN", text(Metadata::isbn));
  out += "</ComicInfo>\n";
  return out;
}

std::string opfPackage(const Archive& archive) {
  const auto text = [&](Metadata field) { return documentText(archive.text(field)); };
  const std::string createdAt = text(Metadata::createdAt);
  const std::optional<CreatedDate> date = createdDate(createdAt);
  const std::string isbn = text(Metadata::isbn);

  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<package xmlns=\"http://www.idpf.org/2007/opf\" version=\"2.0\"";
  // The package names its identifier, and the ISBN is the only one the container has.
  out += isbn.empty() ? ">\n" : " unique-identifier=\"isbn\">\n";
  out +=
      "  <metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
      "xmlns:opf=\"http://www.idpf.org/2007/opf\">\n";
  Elements elements(out, "    ");
  elements.add("dc:title", text(Metadata::title));
  elements.add("dc:creator", text(Metadata::writer), R"( opf:role="aut")");
  elements.add("dc:publisher", text(Metadata::publisher));
  elements.add("dc:date", date ? createdAt.substr(0, date->length) : createdAt);
  elements.add("dc:identifier", isbn, R"( id="isbn" opf:scheme="ISBN")");
  elements.add("dc:subject", text(Metadata::genre));
  elements.add("dc:rights", text(Metadata::copyright));
  elements.add("dc:description", text(Metadata::comment));
  elements.add("dc:source", text(Metadata::webLink));
  elements.add("dc:contributor", text(Metadata::convertedBy), R"( opf:role="bkp")");
  out += "  </metadata>\n</package>\n";
  return out;
}

}  // namespace kzb
