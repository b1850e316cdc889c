#include "epub.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "comic_info.h"
#include "extract.h"
#include "image_info.h"
#include "utf8.h"
#include "zip_format.h"

namespace kzb {
namespace {

constexpr std::string_view kRoot = "EPUB/";

enum class ItemKind { page, text };

// The row of the page a book with no page or text of its own opens on: its title.
constexpr std::size_t kTitlePage = static_cast<std::size_t>(-1);

// One row of the book: where its bytes go and what the spine and the navigation say of it.
// A book may have millions: its label and its text are made again from the row when wanted,
// rather than held.
struct Item {
  std::size_t row = 0;
  ItemKind kind = ItemKind::page;
  ImageInfo image;  // page
};

// Where a document is made in pieces: each goes to the member as it comes.
using Emit = std::function<void(std::string_view)>;

std::string attribute(std::string_view text) {
  std::string out;
  for (const char c : xmlEscaped(text)) {
    out += c == '"' ? std::string("&quot;") : std::string(1, c);
  }
  return out;
}

bool endsWithIgnoringCase(std::string_view name, std::string_view end) {
  if (name.size() < end.size()) {
    return false;
  }
  const std::string_view tail = name.substr(name.size() - end.size());
  return std::equal(tail.begin(), tail.end(), end.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a + 32) : a) == b;
  });
}

bool isTextName(std::string_view name) {
  return endsWithIgnoringCase(name, ".txt") || endsWithIgnoringCase(name, ".text") ||
         endsWithIgnoringCase(name, ".md");
}

// The text as an XHTML document may carry it, or nothing where it is no UTF-8: characters
// XML 1.0 cannot carry are left out, a byte order mark at the start too, and line ends are
// newlines.
std::optional<std::string> xmlText(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    bytes.remove_prefix(3);
  }
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    char32_t c = 0;
    const std::size_t length = decodeUtf8(bytes, c);
    if (length == 0) {
      return std::nullopt;
    }
    const bool carried = c == '\t' || c == '\n' || (c >= 0x20 && c != 0x7F && (c < 0x80 || c > 0x9F) &&
                                                    c != 0xFFFE && c != 0xFFFF);
    if (carried) {
      out.append(bytes.substr(0, length));
    } else if (c == '\r' && !bytes.substr(length).starts_with("\n")) {
      out += '\n';
    }
    bytes.remove_prefix(length);
  }
  return out;
}

// Reads the row's stored file, or its first `most` bytes; nothing where it does not stand whole.
std::optional<std::string> readStored(ContainerInput& input, const FileEntry& entry,
                                      std::size_t most) {
  if (!seekToFileChunk(input, entry) ||
      entry.size > input.fileSize() - std::min(input.fileSize(), input.offset())) {
    return std::nullopt;
  }
  std::string bytes(std::min<std::size_t>(entry.size, most), '\0');
  const std::size_t got = input.read(std::as_writable_bytes(std::span(bytes)));
  if (got != bytes.size()) {
    return std::nullopt;
  }
  return bytes;
}

// The row's stored file as a document carries it, or nothing where it is no text.
std::optional<std::string> storedText(ContainerInput& input, const FileEntry& entry) {
  const std::optional<std::string> whole = readStored(input, entry, entry.size);
  return whole ? xmlText(*whole) : std::nullopt;
}

// What the row is in the book, or nothing where it is neither image nor text (or cannot be
// read: the copy then says why, as the CBZ's does).
std::optional<Item> classify(ContainerInput& input, std::size_t row, const FileEntry& entry,
                             std::string_view name) {
  const std::optional<std::string> head = readStored(input, entry, kImageHeadSize);
  if (!head) {
    return Item{row, ItemKind::page, {}};  // the copy finds why
  }
  if (const std::optional<ImageInfo> image = imageInfo(std::as_bytes(std::span(*head)))) {
    return Item{row, ItemKind::page, *image};
  }
  if (!isTextName(name) || entry.size > kLargestText) {
    return std::nullopt;
  }
  if (!storedText(input, entry)) {
    return std::nullopt;
  }
  return Item{row, ItemKind::text, {}};
}

// A UUID (version 8, of this project's own making) from what the walk found: the metadata,
// the header and every row of the table, so the same container always gives the same one.
std::string derivedUuid(const Archive& archive) {
  // Four CRC-32s of those bytes, each after a seed of its own, worked out as they come: a
  // table of millions of rows is never copied whole.
  std::array<uLong, 4> crcs{};
  for (std::size_t lane = 0; lane < crcs.size(); ++lane) {
    const auto seed = static_cast<unsigned char>('k' + lane);
    crcs[lane] = crc32(0L, &seed, 1);
  }
  const auto add = [&](const void* bytes, std::size_t size) {
    for (uLong& crc : crcs) {
      crc = crc32_z(crc, static_cast<const Bytef*>(bytes), size);
    }
  };
  for (const WideText& text : archive.metadata) {
    add(text.data(), text.size() * sizeof(char16_t));
    constexpr unsigned char kEnd = 0;
    add(&kEnd, 1);
  }
  add(&archive.header.bindingDirection, sizeof archive.header.bindingDirection);
  add(archive.header.uuid.data(), archive.header.uuid.size());
  for (const FileEntry& entry : archive.entries) {
    add(entry.name.data(), entry.name.size() * sizeof(char16_t));
    add(&entry.size, sizeof entry.size);
    add(&entry.crc32, sizeof entry.crc32);
    add(&entry.position, sizeof entry.position);
  }
  std::array<unsigned char, 16> uuid{};
  for (std::size_t lane = 0; lane < crcs.size(); ++lane) {
    for (std::size_t i = 0; i < 4; ++i) {
      uuid[lane * 4 + i] = static_cast<unsigned char>(crcs[lane] >> (8 * i));
    }
  }
  uuid[6] = static_cast<unsigned char>((uuid[6] & 0x0F) | 0x80);  // version 8
  uuid[8] = static_cast<unsigned char>((uuid[8] & 0x3F) | 0x80);  // RFC 4122's variant
  std::string out;
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    constexpr std::string_view kHex = "0123456789abcdef";
    out += kHex[uuid[i] >> 4];
    out += kHex[uuid[i] & 0x0F];
    if (i == 3 || i == 5 || i == 7 || i == 9) {
      out += '-';
    }
  }
  return out;
}

std::string numbered(std::size_t number, std::size_t width) {
  std::string digits = std::to_string(number);
  return std::string(width - std::min(width, digits.size()), '0') + digits;
}

std::string numbered(std::int64_t number, std::size_t width) {
  return numbered(static_cast<std::size_t>(std::max<std::int64_t>(number, 0)), width);
}

// The instant as dcterms:modified takes it: CCYY-MM-DDThh:mm:ssZ, in UTC.
std::string timeText(std::chrono::sys_seconds time) {
  using namespace std::chrono;
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  return numbered(static_cast<std::int64_t>(static_cast<int>(date.year())), 4) + "-" +
         numbered(static_cast<std::int64_t>(static_cast<unsigned>(date.month())), 2) + "-" +
         numbered(static_cast<std::int64_t>(static_cast<unsigned>(date.day())), 2) + "T" +
         numbered(static_cast<std::int64_t>(clock.hours().count()), 2) + ":" +
         numbered(static_cast<std::int64_t>(clock.minutes().count()), 2) + ":" +
         numbered(static_cast<std::int64_t>(clock.seconds().count()), 2) + "Z";
}

class Book {
 public:
  // `planned`: how many items the book may have, which sets the width of their numbers.
  // `labelWidth`: the digits of a renumbered label's number.
  Book(const Archive& archive, const EpubOptions& options, const std::vector<Item>& items,
       std::size_t planned, std::size_t labelWidth)
      : archive_(archive),
        options_(options),
        items_(items),
        width_(std::max<std::size_t>(4, std::to_string(planned).size())),
        labelWidth_(labelWidth) {}

  // The entry in the navigation of items_[index]: its stored name, or the book's title.
  std::string label(std::size_t index) const {
    const Item& item = items_[index];
    if (item.row == kTitlePage) {
      return title();
    }
    std::string name = documentText(archive_.entries[item.row].name);
    return options_.zip.renumber ? numbered(index + 1, labelWidth_) + " " + name : name;
  }

  std::string imageName(std::size_t position, const Item& item) const {
    return "images/" + numbered(position, width_) + "." + std::string(extension(item.image.kind));
  }
  // A WebP page's stand-in for readers of EPUB 3.2, where WebP is no core media type and an
  // image needs a fallback in the manifest that is one: an SVG of the page's size naming it.
  static bool needsFallback(const Item& item) {
    return item.kind == ItemKind::page && item.image.kind == ImageKind::webp;
  }
  std::string fallbackName(std::size_t position) const {
    return "images/" + numbered(position, width_) + "-fallback.svg";
  }
  std::string fallbackImage(std::size_t index) const {
    const Item& item = items_[index];
    const std::string width = std::to_string(item.image.width);
    const std::string height = std::to_string(item.image.height);
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" +
           width + "\" height=\"" + height + "\" viewBox=\"0 0 " + width + " " + height +
           "\">\n  <text x=\"10\" y=\"30\">" + xmlEscaped(label(index)) +
           " (WebP)</text>\n</svg>\n";
  }

  std::string documentName(std::size_t position, const Item& item) const {
    if (item.row == kTitlePage) {
      return "title.xhtml";
    }
    return std::string(item.kind == ItemKind::page ? "pages/" : "text/") +
           numbered(position, width_) + ".xhtml";
  }

  std::string page(std::size_t index) const {
    const Item& item = items_[index];
    const std::size_t position = index + 1;
    const std::string labelText = label(index);
    const std::string width = std::to_string(item.image.width);
    const std::string height = std::to_string(item.image.height);
    return head(labelText, R"(    <meta name="viewport" content="width=)" + width + ", height=" +
                                height + "\"/>\n    <style>html, body { margin: 0; padding: 0; } " +
                                "img { display: block; width: " + width + "px; height: " + height +
                                "px; }</style>\n") +
           "  <body>\n    <img src=\"../" + attribute(imageName(position, item)) + "\" alt=\"" +
           attribute(labelText) + "\"/>\n  </body>\n</html>\n";
  }

  // `text`: the item's text as xmlText gives it.
  std::string textDocument(std::size_t index, const std::string& text) const {
    return head(label(index), "") + "  <body>\n    <pre style=\"white-space: pre-wrap;\">" +
           xmlEscaped(text) + "</pre>\n  </body>\n</html>\n";
  }

  void navigation(const Emit& emit) const {
    emit(head(title(), "") + "  <body>\n    <nav epub:type=\"toc\" id=\"toc\">\n      <h1>" +
         xmlEscaped(title()) + "</h1>\n      <ol>\n");
    for (std::size_t i = 0; i < items_.size(); ++i) {
      emit("        <li><a href=\"" + attribute(documentName(i + 1, items_[i])) + "\">" +
           xmlEscaped(label(i)) + "</a></li>\n");
    }
    emit("      </ol>\n    </nav>\n  </body>\n</html>\n");
  }

  void package(const Emit& emit) const {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\" "
        "unique-identifier=\"id\" xml:lang=\"" +
        attribute(options_.language) + "\">\n  <metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n";
    out += "    <dc:identifier id=\"id\">" + identifier() + "</dc:identifier>\n";
    out += "    <dc:title>" + xmlEscaped(title()) + "</dc:title>\n";
    out += "    <dc:language>" + xmlEscaped(options_.language) + "</dc:language>\n";
    if (const std::string writer = text(Metadata::writer); !writer.empty()) {
      out += "    <dc:creator id=\"creator\">" + xmlEscaped(writer) + "</dc:creator>\n";
      out += "    <meta refines=\"#creator\" property=\"role\" scheme=\"marc:relators\">aut</meta>\n";
    }
    element(out, "dc:publisher", text(Metadata::publisher));
    const std::string createdAt = text(Metadata::createdAt);
    if (const std::optional<CreatedDate> date = createdDate(createdAt)) {
      element(out, "dc:date", createdAt.substr(0, date->length));
    }
    element(out, "dc:subject", text(Metadata::genre));
    element(out, "dc:description", text(Metadata::comment));
    element(out, "dc:rights", text(Metadata::copyright));
    out += "    <meta property=\"dcterms:modified\">" + timeText(options_.zip.modified) + "</meta>\n";
    out += "    <meta property=\"rendition:layout\">pre-paginated</meta>\n";
    // The cover as EPUB 2 names it too: readers that look for nothing else (calibre among
    // them) find it there rather than render the first page for one.
    for (std::size_t i = 0; i < items_.size(); ++i) {
      if (items_[i].kind == ItemKind::page) {
        out += R"(    <meta name="cover" content="i)" + numbered(i + 1, width_) + "\"/>\n";
        break;
      }
    }
    out += "  </metadata>\n  <manifest>\n";
    out += "    <item id=\"nav\" href=\"nav.xhtml\" media-type=\"application/xhtml+xml\" "
           "properties=\"nav\"/>\n";
    bool cover = true;
    for (std::size_t i = 0; i < items_.size(); ++i) {
      const Item& item = items_[i];
      const std::string number = numbered(i + 1, width_);
      out += "    <item id=\"d" + number + "\" href=\"" + documentName(i + 1, item) +
             "\" media-type=\"application/xhtml+xml\"/>\n";
      if (item.kind == ItemKind::page) {
        out += "    <item id=\"i" + number + "\" href=\"" + imageName(i + 1, item) +
               "\" media-type=\"" + std::string(mediaType(item.image.kind)) + "\"" +
               (needsFallback(item) ? " fallback=\"f" + number + "\"" : std::string()) +
               (cover ? " properties=\"cover-image\"" : "") + "/>\n";
        if (needsFallback(item)) {
          out += "    <item id=\"f" + number + "\" href=\"" + fallbackName(i + 1) +
                 "\" media-type=\"image/svg+xml\"/>\n";
        }
        cover = false;
      }
      emit(out);
      out.clear();
    }
    out += "  </manifest>\n  <spine";
    const std::uint32_t direction = archive_.header.bindingDirection;
    if (direction == 1 || direction == 2) {  // L->R, R->L (see bindingName)
      out += direction == 2 ? " page-progression-direction=\"rtl\"" : " page-progression-direction=\"ltr\"";
    }
    out += ">\n";
    for (std::size_t i = 0; i < items_.size(); ++i) {
      out += "    <itemref idref=\"d" + numbered(i + 1, width_) + "\" properties=\"" +
             spineProperties(i) + "\"/>\n";
      emit(out);
      out.clear();
    }
    emit(out + "  </spine>\n</package>\n");
  }

  std::string title() const {
    std::string stored = text(Metadata::title);
    if (!stored.empty()) {
      return stored;
    }
    return options_.fallbackTitle.empty() ? std::string("untitled") : options_.fallbackTitle;
  }

 private:
  std::string text(Metadata field) const { return documentText(archive_.text(field)); }

  std::string identifier() const {
    std::string digits;
    if (isValidIsbn(text(Metadata::isbn), digits)) {
      return "urn:isbn:" + digits;
    }
    return "urn:uuid:" + derivedUuid(archive_);
  }

  static void element(std::string& out, std::string_view name, const std::string& value) {
    if (!value.empty()) {
      out += "    <" + std::string(name) + ">" + xmlEscaped(value) + "</" + std::string(name) + ">\n";
    }
  }

  // A page's side of the spread: the first page stands alone on the side a book opens to
  // (right for ltr, left for rtl), then the sides alternate. Text flows, on no side.
  std::string spineProperties(std::size_t index) const {
    if (items_[index].kind == ItemKind::text) {
      return "rendition:layout-reflowable";
    }
    const bool rtl = archive_.header.bindingDirection == 2;
    const bool first = index % 2 == 0;
    return first != rtl ? "page-spread-right" : "page-spread-left";
  }

  std::string head(const std::string& documentTitle, const std::string& extra) const {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE html>\n"
           "<html xmlns=\"http://www.w3.org/1999/xhtml\" "
           "xmlns:epub=\"http://www.idpf.org/2007/ops\" xml:lang=\"" +
           attribute(options_.language) + "\" lang=\"" + attribute(options_.language) +
           "\">\n  <head>\n    <meta charset=\"utf-8\"/>\n    <title>" +
           xmlEscaped(documentTitle.empty() ? std::string("-") : documentTitle) + "</title>\n" + extra +
           "  </head>\n";
  }

  const Archive& archive_;
  const EpubOptions& options_;
  const std::vector<Item>& items_;
  std::size_t width_;
  std::size_t labelWidth_;
};

constexpr std::string_view kContainerXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<container version=\"1.0\" xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">\n"
    "  <rootfiles>\n"
    "    <rootfile full-path=\"EPUB/package.opf\" media-type=\"application/oebps-package+xml\"/>\n"
    "  </rootfiles>\n"
    "</container>\n";

}  // namespace

bool isLanguageTag(std::string_view tag) {
  const auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  bool first = true;
  while (true) {
    const std::size_t hyphen = std::min(tag.find('-'), tag.size());
    const std::string_view subtag = tag.substr(0, hyphen);
    const bool letters = std::all_of(subtag.begin(), subtag.end(), isLetter);
    const bool alphanumeric =
        std::all_of(subtag.begin(), subtag.end(), [&](char c) { return isLetter(c) || isDigit(c); });
    if (first ? (subtag.size() < 2 || subtag.size() > 8 || !letters)
              : (subtag.empty() || subtag.size() > 8 || !alphanumeric)) {
      return false;
    }
    first = false;
    if (hyphen == tag.size()) {
      return true;
    }
    tag.remove_prefix(hyphen + 1);
  }
}

bool isValidIsbn(std::string_view isbn, std::string& digits) {
  digits.clear();
  for (const char c : isbn) {
    if (c == '-' || c == ' ') {
      continue;
    }
    if (!((c >= '0' && c <= '9') || ((c == 'X' || c == 'x') && digits.size() == 9))) {
      return false;
    }
    digits += c == 'x' ? 'X' : c;
  }
  int sum = 0;
  if (digits.size() == 13) {
    for (std::size_t i = 0; i < 13; ++i) {
      if (digits[i] == 'X') {
        return false;
      }
      sum += (digits[i] - '0') * (i % 2 == 0 ? 1 : 3);
    }
    return sum % 10 == 0;
  }
  if (digits.size() == 10) {
    for (std::size_t i = 0; i < 10; ++i) {
      const int value = digits[i] == 'X' ? 10 : digits[i] - '0';
      sum += value * static_cast<int>(10 - i);
    }
    return sum % 11 == 0;
  }
  return false;
}

EpubResult convertToEpub(ContainerInput& input, const Archive& archive, ByteSink& out,
                         const EpubOptions& options, const MemberReport& report) {
  const FileTable& entries = archive.entries;
  const MemberPlans plans = planMembers(input, entries, zip::kMaxNameLength);
  EpubResult result;
  std::vector<std::optional<Item>> classified(entries.size());
  std::vector<Item> items;  // what the book holds, filled as the members are written
  std::size_t planned = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (plans.decided(i) == nullptr) {
      classified[i] = classify(input, i, entries[i], plans.zipName(i));
      planned += classified[i] ? std::size_t{1} : std::size_t{0};
    }
  }
  // Names are given before the members are known to be whole, so the count is the plan's;
  // a row that then fails leaves a gap in the numbers, never a name used twice.
  items.reserve(planned);
  const std::size_t labelWidth = std::to_string(planned).size();

  const auto failWith = [&](std::error_code error) {
    result.status = ConvertStatus::writeFailed;
    result.error = error;
    return result;
  };
  MemberCopier book(input, out, options.zip);
  if (const std::error_code error = book.addStoredText("mimetype", "application/epub+zip")) {
    return failWith(error);
  }
  if (const std::error_code error = book.addText("META-INF/container.xml", kContainerXml)) {
    return failWith(error);
  }
  Book names(archive, options, items, planned + 1, labelWidth);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    MemberOutcome done;
    if (const MemberOutcome* decided = plans.decided(i)) {
      done = *decided;
    } else if (!classified[i]) {
      done = MemberOutcome{i, MemberStatus::notAPage, NameProblem::none, {}, {}};
      ++result.leftOut;
    } else {
      const Item item = *classified[i];
      const std::size_t position = items.size() + 1;
      std::error_code writeError;
      if (item.kind == ItemKind::page) {
        const std::string name = std::string(kRoot) + names.imageName(position, item);
        done = book.copy(i, entries[i], name, writeError);
      } else {
        done = MemberOutcome{i, MemberStatus::written, NameProblem::none, {}, {}};
      }
      if (writeError) {
        return failWith(writeError);
      }
      if (done.status == MemberStatus::written) {
        (item.kind == ItemKind::page ? result.pages : result.texts) += 1;
        items.push_back(item);
      }
    }
    if (isFailure(done.status)) {
      ++result.failures;
    }
    if (report) {
      report(done);
    }
  }

  std::vector<std::optional<Item>>().swap(classified);

  if (items.empty()) {
    // A spine holds at least one document: a book with no page or text opens on its title.
    items.push_back(Item{kTitlePage, ItemKind::text, {}});
  }
  Book made(archive, options, items, planned + 1, labelWidth);
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Item& item = items[i];
    std::string document;
    if (item.kind == ItemKind::page) {
      document = made.page(i);
    } else {
      // Read again rather than held since the row was classified: it reads as it did then.
      const std::optional<std::string> text =
          item.row == kTitlePage ? made.title() : storedText(input, entries[item.row]);
      if (!text) {
        return failWith(input.readError() ? input.readError()
                                          : std::make_error_code(std::errc::io_error));
      }
      document = made.textDocument(i, *text);
    }
    if (const std::error_code error =
            book.addText(std::string(kRoot) + made.documentName(i + 1, item), document)) {
      return failWith(error);
    }
    if (Book::needsFallback(item)) {
      if (const std::error_code error = book.addText(std::string(kRoot) + made.fallbackName(i + 1),
                                                     made.fallbackImage(i))) {
        return failWith(error);
      }
    }
  }
  // The navigation and the package grow with the book: made in pieces, never whole.
  if (const std::error_code error = book.addMadeText(
          std::string(kRoot) + "nav.xhtml", [&](const Emit& emit) { made.navigation(emit); })) {
    return failWith(error);
  }
  if (const std::error_code error = book.addMadeText(
          std::string(kRoot) + "package.opf", [&](const Emit& emit) { made.package(emit); })) {
    return failWith(error);
  }
  if (const std::error_code error = book.finish({})) {
    return failWith(error);
  }
  return result;
}

}  // namespace kzb
