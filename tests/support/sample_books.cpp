#include "sample_books.h"

#include <utility>

namespace kzb::testing {

Bytes be16(unsigned value) {
  return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}
Bytes le16(unsigned value) {
  return {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}
Bytes be32(unsigned value) {
  return be16(value >> 16) + be16(value & 0xFFFF);
}

Bytes png(unsigned width, unsigned height) {
  return std::string("\x89PNG\r\n\x1A\n", 8) + be32(13) + "IHDR" + be32(width) + be32(height) +
         std::string("\x08\x02\x00\x00\x00", 5) + be32(0) + be32(0) + "IEND" + be32(0xAE426082);
}

Bytes jpeg(unsigned width, unsigned height, std::size_t appBytes) {
  const std::string dqt =
      std::string("\xFF\xDB", 2) + be16(67) + std::string(1, '\0') + std::string(64, '\x01');
  const std::string sof = std::string("\xFF\xC0", 2) + be16(11) + "\x08" + be16(height) +
                          be16(width) + std::string("\x01\x01\x11\x00", 4);
  const auto table = [](char classAndId) {
    return std::string("\xFF\xC4", 2) + be16(20) + classAndId + "\x01" + std::string(15, '\0') +
           std::string(1, '\0');
  };
  const std::string sos =
      std::string("\xFF\xDA", 2) + be16(8) + std::string("\x01\x01\x00\x00\x3F\x00", 6);
  const std::size_t bits = 2 * ((width + 7) / 8) * ((height + 7) / 8);
  std::string scan(bits / 8, '\0');
  if (bits % 8 != 0) {
    scan += static_cast<char>(0xFF >> (bits % 8));  // padded with ones
  }
  return std::string("\xFF\xD8\xFF\xE0", 4) + be16(static_cast<unsigned>(appBytes + 2)) +
         std::string(appBytes, 'j') + dqt + sof + table('\x00') + table('\x10') + sos + scan +
         std::string("\xFF\xD9", 2);
}

Bytes gif(unsigned width, unsigned height) {
  return "GIF89a" + le16(width) + le16(height) + std::string("\x80\x00\x00", 3) +
         std::string("\xFF\xFF\xFF\x00\x00\x00", 6) + std::string("\x2C", 1) + le16(0) + le16(0) +
         le16(1) + le16(1) + std::string("\x00\x02\x02\x44\x01\x00\x3B", 7);
}

Bytes webpExtended(unsigned width, unsigned height) {
  const auto le24 = [](unsigned v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>(v >> 16)};
  };
  return "RIFF" + std::string("\x16\x00\x00\x00", 4) + "WEBPVP8X" +
         std::string("\x0A\x00\x00\x00\x00\x00\x00\x00", 8) + le24(width - 1) + le24(height - 1);
}

Bytes webpLossy(unsigned width, unsigned height) {
  return "RIFF" + std::string(4, '\0') + "WEBPVP8 " + std::string(4, '\0') +
         std::string("\x10\x02\x00\x9D\x01\x2A", 6) + le16(width) + le16(height);
}

Bytes webpLossless(unsigned width, unsigned height) {
  const unsigned bits = (width - 1) | ((height - 1) << 14);
  return "RIFF" + std::string(4, '\0') + "WEBPVP8L" + std::string(4, '\0') + "\x2F" +
         le16(bits & 0xFFFF) + le16(bits >> 16);
}

Bytes svg(const std::string& attributes) {
  return "<?xml version=\"1.0\"?>\n<!-- a page -->\n<svg xmlns=\"http://www.w3.org/2000/svg\" " +
         attributes + "><rect width=\"10\" height=\"10\"/></svg>\n";
}

std::vector<SampleBook> sampleBooks(std::size_t padding) {
  std::uint32_t seed = 100;
  const auto page = [&](std::u16string name, const Bytes& header) {
    return StoredFile{std::move(name), header + pseudoRandomBytes(padding, ++seed), {}};
  };
  const auto text = [](std::u16string name, Bytes bytes) {
    return StoredFile{std::move(name), std::move(bytes), {}};
  };
  const auto book = [](std::vector<StoredFile> files,
                       std::vector<std::pair<std::string, std::u16string>> texts,
                       std::optional<std::uint32_t> binding) {
    Publication publication;
    publication.files = std::move(files);
    publication.texts = std::move(texts);
    publication.bindingDirection = binding;
    return buildContainer(publication);
  };
  const std::vector<std::pair<std::string, std::u16string>> metadata = {
      {"TITL", u"달빛 항해 <Moonlight & Voyage>"},
      {"ISBN", u"978-0-306-40615-7"},
      {"WRTR", u"김하늘"},
      {"PUBL", u"Paper \"Lantern\" Press"},
      {"DATE", u"2026-12-08"},
      {"COMT", u"A voyage\x01 by night."},
  };
  return {
      {"each kind, R to L",
       book({page(u"표지.png", png(800, 1200)), page(u"2.jpg", jpeg(800, 1200)),
             page(u"3.gif", gif(800, 1200)), page(u"4.webp", webpExtended(800, 1200)),
             page(u"5.webp", webpLossy(640, 480)), page(u"6.webp", webpLossless(300, 2)),
             page(u"7.svg", svg("width=\"800\" height=\"1200\"")),
             page(u"8.jpg", jpeg(7, 9, 60000))},
            metadata, 2)},
      {"text and neither, L to R",
       book({text(u"1장.txt", "첫째 장: a <b> & c\r\nline\x01 two\n"),
             page(u"cover.jpg", jpeg(600, 900)), text(u"data.bin", "\x01\x02"),
             text(u"notes.md", "# notes\n"), text(u"not utf-8.txt", "\xFF\xFE"),
             text(u"long.text", std::string(70000, 'x')), page(u"page.png", png(600, 900))},
            {{"TITL", u"text"}}, 1)},
      {"hostile names, no direction",
       book({page(u"../escape.png", png(10, 10)), page(u"bad?name.jpg", jpeg(8, 8)),
             page(u"p.png", png(20, 20)), page(u"p.png", png(30, 30)),
             page(u"ComicInfo.xml", png(40, 40)), page(u"<&\">.png", png(50, 50)),
             page(u"한글 1장.gif", gif(60, 60))},
            {}, std::nullopt)},
      {"nothing that is a page", book({text(u"x.bin", "zz")}, {}, 2)},
  };
}

}  // namespace kzb::testing
