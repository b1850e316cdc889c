// Writes the fuzzers' seed corpus with the project's own container builder: well-formed
// containers of the shapes the tool meets, and malformed ones that each take a different way
// out of the walk or the extraction.
//
//   make_corpus DIRECTORY
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "container_builder.h"
#include "sample_books.h"

namespace {

using kzb::testing::Bytes;
using kzb::testing::Chunk;
using kzb::testing::le32;
using kzb::testing::pseudoRandomBytes;
using kzb::testing::Publication;
using kzb::testing::utf16FromUtf8;

Bytes eightBytes(std::uint8_t first) {
  Bytes bytes;
  for (std::uint8_t i = 0; i < 8; ++i) {
    bytes += static_cast<char>(first + i);
  }
  return bytes;
}

Publication oneFile(std::u16string name, Bytes data) {
  Publication publication;
  publication.files = {{std::move(name), std::move(data), {}}};
  return publication;
}

Publication metadataOnly() {
  Publication publication;
  publication.version = 0x2A;
  publication.bindingDirection = 2;
  publication.texts = {
      {"TITL", utf16FromUtf8("달빛 항해")},
      {"ISBN", u"979-11-0000-000-0"},
      {"WRTR", utf16FromUtf8("김하늘")},
      {"PUBL", u"Paper Lantern Press"},
      {"DATE", u"2026-12-08"},
      {"GENR", utf16FromUtf8("소설")},
      {"COPY", u"(c) nobody"},
      {"LINK", u"https://example.org/"},
      {"MAKR", u"make_corpus"},
      {"COMT", u"seed"},
  };
  return publication;
}

Publication severalFiles() {
  Publication publication = metadataOnly();
  publication.files = {
      {u"readme.txt", "plain text\n", {}},
      {utf16FromUtf8("1장.txt"), "달이 떠올랐다.\n", {}},
      {utf16FromUtf8("표지 그림.svg"), "<svg/>\n", {}},
      {u"empty.txt", "", {}},
  };
  return publication;
}

// A root whose "HEAD" and "FINF" sit inside a chunk the reader does not know, with every
// opaque attribute present; the "FILE" chunk follows the unknown one.
Bytes nestedUnknown() {
  const Bytes data = "inside an unknown chunk";
  const auto fileInfo = [&](std::uint32_t position) {
    return Chunk("FINF")
        .text("NAME", u"nested.txt")
        .u32("POS4", position)
        .u32("SIZE", static_cast<std::uint32_t>(data.size()))
        .u32("CRC3", kzb::testing::crc32(data))
        .attribute("MTIM", eightBytes(1));
  };
  const auto wrapper = [&](std::uint32_t position) {
    return Chunk("XTRA")
        .child(Chunk("HEAD")
                   .attribute("GUID", pseudoRandomBytes(10))
                   .attribute("UUID", pseudoRandomBytes(10))
                   .attribute("FTIM", eightBytes(9))
                   .u32("DIRE", 1)
                   .text("TITL", u"nested"))
        .child(Chunk("ZZZZ").payload("skipped payload"))
        .child(fileInfo(position));
  };
  const Chunk file = Chunk("FILE").payload(data);
  // The sizes do not depend on the position recorded, so a first pass with zero finds it.
  const Chunk probe = Chunk("KZB0").u32("VERS", 1).u32("FSIZ", 0).child(wrapper(0));
  const auto position = static_cast<std::uint32_t>(probe.size());
  const Chunk root = Chunk("KZB0")
                         .u32("VERS", 1)
                         .u32("FSIZ", static_cast<std::uint32_t>(position + file.size()))
                         .child(wrapper(position))
                         .child(file);
  return root.bytes();
}

Bytes deepNesting(int levels) {
  Chunk chunk("NEST");
  for (int level = 1; level < levels; ++level) {
    chunk = Chunk("NEST").child(chunk);
  }
  return Chunk("KZB0").u32("VERS", 1).child(chunk).bytes();
}

// One "FINF" pointing at a "FILE" chunk right behind it, with the name given as raw units.
Bytes namedEntry(std::u16string name) {
  Publication publication = oneFile(std::move(name), "x");
  return kzb::testing::buildContainer(publication);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_corpus DIRECTORY\n";
    return 2;
  }
  const std::filesystem::path directory = argv[1];
  std::filesystem::create_directories(directory);

  using kzb::testing::buildContainer;
  const Bytes wellFormed = buildContainer(severalFiles());
  std::vector<std::pair<std::string, Bytes>> seeds = {
      {"root-bare", Chunk("KZB0").bytes()},
      {"root-empty-publication", buildContainer(Publication{})},
      {"metadata-only", buildContainer(metadataOnly())},
      {"one-file", buildContainer(oneFile(u"a.txt", "hello\n"))},
      {"several-files-korean-names", wellFormed},
      {"nested-unknown-chunks", nestedUnknown()},
      {"payload-0-bytes", buildContainer(oneFile(u"zero.bin", ""))},
      {"payload-4097-bytes", buildContainer(oneFile(u"big.bin", pseudoRandomBytes(4097)))},
      {"no-crc",
       [] {
         Publication publication = oneFile(u"a.txt", "abc");
         publication.recordCrc32 = false;
         return buildContainer(publication);
       }()},
      // Malformed.
      {"negative-lengths", Chunk("KZB0")
                               .u32("VERS", 1)
                               .statedAttributeLength(-8)
                               .child(Chunk("HEAD").statedChildrenLength(-16))
                               .statedPayloadLength(-1)
                               .bytes()},
      {"negative-attribute-length", Chunk("KZB0").statedAttributeLength(-0x7fffffff).bytes()},
      {"negative-record-length",
       Chunk("KZB0").attribute("VERS", le32(1), -4).u32("FSIZ", 9).bytes()},
      {"truncated-in-walk", wellFormed.substr(0, wellFormed.size() / 3)},
      {"truncated-in-payload",
       [] {
         const Bytes whole = buildContainer(oneFile(u"cut.bin", pseudoRandomBytes(300)));
         return whole.substr(0, whole.size() - 100);
       }()},
      {"truncated-header", wellFormed.substr(0, 10)},
      {"record-overruns-block",
       Chunk("KZB0")
           .u32("VERS", 1)
           .child(Chunk("FINF").text("NAME", u"a.txt").attribute("SIZE", le32(1), 1000))
           .bytes()},
      {"block-overruns-file", Chunk("KZB0").u32("VERS", 1).statedAttributeLength(1 << 30).bytes()},
      {"children-overrun", Chunk("KZB0").child(Chunk("HEAD")).statedChildrenLength(4096).bytes()},
      {"deep-nesting-300", deepNesting(300)},
      {"deep-nesting-256", deepNesting(255)},
      {"unsafe-dotdot-slash-x", namedEntry(u"../x")},
      {"unsafe-a-slash-b", namedEntry(u"a/b")},
      {"unsafe-a-backslash-b", namedEntry(u"a\\b")},
      {"unsafe-dotdot", namedEntry(u"..")},
      {"unsafe-empty", namedEntry(u"")},
      {"name-zero-unit", namedEntry(std::u16string(u"ok\0/../x", 8))},
      // fuzz_extract keeps its input as "c" in the directory it extracts into.
      {"name-is-the-container", namedEntry(u"c")},
      {"name-lone-surrogate", namedEntry(std::u16string(1, char16_t{0xD800}) + u"x")},
      {"position-wrong",
       [] {
         Bytes bytes = buildContainer(oneFile(u"a.txt", "hello"));
         const auto at = bytes.find("POS4");
         bytes.replace(at + 8, 4, le32(3));
         return bytes;
       }()},
      {"size-mismatch",
       [] {
         Bytes bytes = buildContainer(oneFile(u"a.txt", "hello"));
         const auto at = bytes.find("SIZE");
         bytes.replace(at + 8, 4, le32(4));
         return bytes;
       }()},
      {"file-length-lie",
       [] {
         Bytes bytes = buildContainer(oneFile(u"a.txt", "hello"));
         bytes.replace(bytes.find("FSIZ") + 8, 4, le32(0xffffffffu));
         return bytes;
       }()},
  };
  // Books of images of each kind, text and neither, so that the EPUB's conversion starts from
  // pages it lays out.
  std::size_t book = 0;
  for (const kzb::testing::SampleBook& each : kzb::testing::sampleBooks(64)) {
    seeds.emplace_back("book-" + std::to_string(++book), each.container);
  }
  for (const auto& [name, bytes] : seeds) {
    std::ofstream out(directory / (name + ".kzb"), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (out.fail()) {
      std::cerr << "make_corpus: cannot write " << name << '\n';
      return 1;
    }
  }
  std::cout << "make_corpus: " << seeds.size() << " seeds in " << directory.string() << '\n';
  return 0;
}
