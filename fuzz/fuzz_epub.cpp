// The conversion into an EPUB on arbitrary bytes, in memory, which also runs the image header
// reader on the first bytes of every stored file. The book is read back by libzip and libxml2,
// which share nothing with the writer: the mimetype comes first, stored, with no extra field,
// and holds exactly "application/epub+zip"; every member's CRC-32 holds; the container
// document, the package document, the navigation document and every XHTML and SVG member are
// well-formed XML; every item the manifest names is a member; the spine names as many
// documents as the conversion counted pages and texts. Where the members are stored, the layout
// kzb-mount serves (zip_layout.h) is made too, and read back in pieces of a size the input
// picks: it must give the same bytes.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive_reader.h"
#include "byte_sink.h"
#include "epub.h"
#include "fuzz_support.h"
#include "image_info.h"
#include "input_file.h"
#include "zip_layout.h"

namespace {

using kzb::fuzz::require;

struct ZipCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};

std::unique_ptr<zip_t, ZipCloser> openZip(const std::vector<std::byte>& bytes) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  require(source != nullptr, "libzip cannot take the EPUB's bytes");
  zip_t* archive = zip_open_from_source(source, ZIP_CHECKCONS | ZIP_RDONLY, &error);
  if (archive == nullptr) {
    zip_source_free(source);
    kzb::fuzz::fail(std::string("libzip cannot open the EPUB: ") + zip_error_strerror(&error));
  }
  return std::unique_ptr<zip_t, ZipCloser>(archive);
}

std::string memberBytes(zip_t* archive, zip_uint64_t index, zip_uint64_t size) {
  zip_file_t* file = zip_fopen_index(archive, index, 0);
  require(file != nullptr, "libzip cannot open a member");
  std::string bytes(size, '\0');
  const zip_int64_t got = zip_fread(file, bytes.data(), size);
  zip_fclose(file);
  require(got >= 0 && static_cast<zip_uint64_t>(got) == size, "a member cannot be read whole");
  return bytes;
}

struct DocumentCloser {
  void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};

std::unique_ptr<xmlDoc, DocumentCloser> parsed(const std::string& bytes, std::string_view what) {
  xmlDoc* document = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (document == nullptr) {
    kzb::fuzz::fail(std::string(what) + " is not well-formed XML");
  }
  return std::unique_ptr<xmlDoc, DocumentCloser>(document);
}

// The values of `attribute` on every element named `name` under `node`.
void collect(xmlNode* node, std::string_view name, const char* attribute,
             std::vector<std::string>& values) {
  for (xmlNode* child = node; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE &&
        name == reinterpret_cast<const char*>(child->name)) {
      xmlChar* value = xmlGetProp(child, reinterpret_cast<const xmlChar*>(attribute));
      require(value != nullptr, "a manifest item or itemref lacks its attribute");
      values.emplace_back(reinterpret_cast<const char*>(value));
      xmlFree(value);
    }
    collect(child->children, name, attribute, values);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  kzb::fuzz::makePathArgumentsAbsolute(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  if (const auto image = kzb::imageInfo(std::as_bytes(input))) {
    require(image->width >= 1 && image->width <= 65535 && image->height >= 1 &&
                image->height <= 65535,
            "an image's size is out of the range the reader promises");
  }
  kzb::fuzz::writeInput(input);
  const std::uint8_t choice = size == 0 ? 0 : data[size - 1];
  kzb::EpubOptions options;
  options.zip.deflate = (choice & 1) != 0;
  options.zip.renumber = (choice & 2) != 0;
  options.zip.modified = std::chrono::sys_days{std::chrono::year{2026} / 12 / 9};
  options.fallbackTitle = "c";

  kzb::ArchiveReader reader(kzb::fuzz::scratch().input.string());
  kzb::MemorySink sink;
  std::size_t reported = 0;
  const kzb::EpubResult result =
      kzb::convertToEpub(reader.input(), reader.archive(), sink, options,
                         [&](const kzb::MemberOutcome&) { ++reported; });
  require(result.status == kzb::ConvertStatus::complete, "a conversion into memory failed");
  require(reported == reader.archive().entries.size(), "not every row was reported once");

  const std::vector<std::byte>& bytes = sink.bytes();
  require(bytes.size() > 58 && std::to_integer<int>(bytes[28]) == 0 &&
              std::to_integer<int>(bytes[29]) == 0,
          "the mimetype's local header has an extra field");
  const auto archive = openZip(bytes);
  const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  std::set<std::string> names;
  std::string package;
  for (zip_int64_t m = 0; m < count; ++m) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    require(zip_stat_index(archive.get(), static_cast<zip_uint64_t>(m), ZIP_FL_ENC_STRICT, &stat) ==
                0,
            "libzip cannot describe a member");
    const std::string name = stat.name;
    const std::string member = memberBytes(archive.get(), static_cast<zip_uint64_t>(m), stat.size);
    require(stat.crc == crc32(0, reinterpret_cast<const Bytef*>(member.data()),
                              static_cast<uInt>(member.size())),
            "a member's recorded CRC-32 is not that of its bytes");
    if (m == 0) {
      require(name == "mimetype" && stat.comp_method == ZIP_CM_STORE &&
                  member == "application/epub+zip",
              "the mimetype is not first, stored, and exactly the EPUB's");
    }
    const auto endsWith = [&](std::string_view end) {
      return name.size() >= end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0;
    };
    if (endsWith(".xhtml") || endsWith(".opf") || endsWith(".xml") ||
        endsWith("-fallback.svg")) {
      parsed(member, name);
    }
    if (name == "EPUB/package.opf") {
      package = member;
    }
    require(names.insert(name).second, "two members share a name");
  }
  require(!package.empty(), "the EPUB has no package document");
  const auto document = parsed(package, "the package document");
  std::vector<std::string> hrefs;
  collect(xmlDocGetRootElement(document.get()), "item", "href", hrefs);
  for (const std::string& href : hrefs) {
    require(names.count("EPUB/" + href) == 1, "the manifest names an item that is not a member");
  }
  std::vector<std::string> spine;
  collect(xmlDocGetRootElement(document.get()), "itemref", "idref", spine);
  require(spine.size() == std::max<std::size_t>(1, result.pages + result.texts),
          "the spine does not name each page and text once");

  if (!options.zip.deflate) {
    // Small blocks, so that the writer's patches reach blocks deflated already.
    kzb::ZipLayout layout((choice & 8) != 0 ? 97 : kzb::ZipLayout::kBlockSize);
    const kzb::EpubResult laidOut =
        kzb::layOutEpub(reader.input(), reader.archive(), options, layout);
    require(laidOut.status == kzb::ConvertStatus::complete && laidOut.pages == result.pages &&
                laidOut.texts == result.texts,
            "the layout does not hold the book's pages and texts");
    kzb::InputFile container;
    require(!container.open(kzb::fuzz::scratch().input.string()), "the input cannot be opened");
    std::vector<std::byte> read(static_cast<std::size_t>(layout.size()));
    const std::size_t piece = 1 + (choice >> 4) * 509u;  // 1 byte, or an odd size across fields
    for (std::size_t at = 0; at < read.size();) {
      std::error_code error;
      const std::size_t wanted = std::min(piece, read.size() - at);
      const std::size_t got =
          layout.read(at, std::span(read).subspan(at, wanted), container, error);
      require(!error && got == wanted, "a read of the layout fell short");
      at += got;
    }
    require(read == bytes, "the layout does not read as the EPUB convert writes");
  }
  return 0;
}
