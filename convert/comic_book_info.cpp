#include "comic_book_info.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "comic_info.h"
#include "json_line.h"
#include "utf8.h"

namespace kzb {
namespace {

// The texts the object carries, each as the listing takes it.
struct Texts {
  std::string title;
  std::string publisher;
  std::string genre;
  std::string writer;
  std::string comments;

  std::array<std::string*, 5> all() { return {&title, &publisher, &genre, &writer, &comments}; }
};

// `text` cut to at most `cap` bytes, at the start of a character (the text is UTF-8).
std::string_view capped(std::string_view text, std::size_t cap) {
  if (text.size() <= cap) {
    return text;
  }
  while (cap > 0 && (static_cast<unsigned char>(text[cap]) & 0xC0) == 0x80) {
    --cap;
  }
  return text.substr(0, cap);
}

// `value` in decimal, with zeros before it up to `width` digits.
std::string padded(long long value, std::size_t width) {
  std::string digits = std::to_string(value);
  return digits.size() < width ? std::string(width - digits.size(), '0') + digits : digits;
}

std::string utcText(std::chrono::sys_seconds time) {
  const auto day = std::chrono::floor<std::chrono::days>(time);
  const std::chrono::year_month_day date{day};
  const std::chrono::hh_mm_ss clock{time - day};
  return padded(static_cast<int>(date.year()), 4) + '-' +
         padded(static_cast<unsigned>(date.month()), 2) + '-' +
         padded(static_cast<unsigned>(date.day()), 2) + ' ' + padded(clock.hours().count(), 2) +
         ':' + padded(clock.minutes().count(), 2) + ':' + padded(clock.seconds().count(), 2);
}

std::string objectOf(const Texts& texts, std::size_t cap, const std::optional<CreatedDate>& date,
                     std::string_view application, const std::string& lastModified) {
  Json info = Json::object();
  const auto put = [&](const char* key, const std::string& text) {
    if (!text.empty()) {
      info[key] = capped(text, cap);
    }
  };
  put("title", texts.title);
  put("publisher", texts.publisher);
  if (date) {
    info["publicationYear"] = date->year;
    if (date->month) {
      info["publicationMonth"] = *date->month;
    }
  }
  put("genre", texts.genre);
  if (!texts.genre.empty()) {
    info["tags"] = Json::array({capped(texts.genre, cap)});
  }
  if (!texts.writer.empty()) {
    info["credits"] = Json::array(
        {{{"person", capped(texts.writer, cap)}, {"role", "Writer"}, {"primary", true}}});
  }
  put("comments", texts.comments);

  Json object = Json::object();
  object["appID"] = application;
  object["lastModified"] = lastModified;
  object["ComicBookInfo/1.0"] = std::move(info);
  return jsonLine(object);
}

}  // namespace

ComicBookInfo comicBookInfo(const Archive& archive, std::string_view application,
                            std::chrono::sys_seconds modified, std::size_t limit) {
  const auto text = [&](Metadata field) { return toUtf8(untilFirstZero(archive.text(field))); };
  Texts texts{text(Metadata::title), text(Metadata::publisher), text(Metadata::genre),
              text(Metadata::writer), text(Metadata::comment)};
  const std::optional<CreatedDate> date = createdDate(text(Metadata::createdAt));
  const std::string lastModified = utcText(modified);

  std::size_t longest = 0;
  for (const std::string* t : texts.all()) {
    longest = std::max(longest, t->size());
  }
  ComicBookInfo result{objectOf(texts, longest, date, application, lastModified), false};
  if (result.json.size() <= limit) {
    return result;
  }
  // The object grows with the cap, so the largest cap that fits is found by halving. No text
  // longer than the limit fits whole, which bounds the search and the work of each step.
  std::size_t fits = 0;
  std::size_t tooLong = std::min(longest, limit + 1);
  while (tooLong - fits > 1) {
    const std::size_t cap = fits + (tooLong - fits) / 2;
    if (objectOf(texts, cap, date, application, lastModified).size() <= limit) {
      fits = cap;
    } else {
      tooLong = cap;
    }
  }
  return {objectOf(texts, fits, date, application, lastModified), true};
}

}  // namespace kzb
