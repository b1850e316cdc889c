// Writes the bundled sample container: five files of different sizes (one empty, one of
// several copy blocks, one with a Korean name) with Korean and ASCII metadata. Or, for looking
// at how readers lay a book out, one of COUNT pages that each show their number large, bound
// right to left (rtl) or left to right (ltr).
//
//   make-sample OUT.kzb
//   make-sample --numbered COUNT rtl|ltr OUT.kzb
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "container_builder.h"

namespace {

kzb::testing::Publication sample() {
  using kzb::testing::utf16FromUtf8;
  kzb::testing::Publication sample;
  sample.version = 0x2A;
  sample.bindingDirection = 2;
  sample.texts = {
      {"TITL", utf16FromUtf8("달빛 항해 (Moonlight Voyage)")},
      {"ISBN", utf16FromUtf8("979-11-0000-000-0")},
      {"WRTR", utf16FromUtf8("김하늘")},
      {"PUBL", utf16FromUtf8("Paper Lantern Press")},
      {"DATE", utf16FromUtf8("2026-12-08")},
      {"GENR", utf16FromUtf8("소설")},
      {"LINK", utf16FromUtf8("https://example.org/moonlight")},
      {"MAKR", utf16FromUtf8("make-sample")},
      {"COMT", utf16FromUtf8("밤바다를 건너는 작은 배의 이야기. A small boat crosses the night sea.")},
  };
  sample.files = {
      {utf16FromUtf8("readme.txt"),
       "This container was written by make-sample, the project's own example.\n",
       {}},
      {utf16FromUtf8("1장.txt"), "달이 바다 위로 떠올랐다.\nThe moon rose over the sea.\n", {}},
      {utf16FromUtf8("pages.bin"), kzb::testing::pseudoRandomBytes(9000), {}},
      {utf16FromUtf8("empty.txt"), "", {}},
      {utf16FromUtf8("표지.svg"),
       "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"90\" height=\"120\">"
       "<rect width=\"90\" height=\"120\" fill=\"#123\"/>"
       "<circle cx=\"60\" cy=\"35\" r=\"15\" fill=\"#eed\"/></svg>\n",
       {}},
  };
  return sample;
}

kzb::testing::Publication numberedPages(int count, bool rightToLeft) {
  using kzb::testing::utf16FromUtf8;
  kzb::testing::Publication book;
  book.bindingDirection = rightToLeft ? 2 : 1;
  book.texts = {{"TITL", utf16FromUtf8(rightToLeft ? "Numbered pages, right to left"
                                                   : "Numbered pages, left to right")}};
  for (int page = 1; page <= count; ++page) {
    const std::string number = std::to_string(page);
    book.files.push_back(
        {utf16FromUtf8(std::string(4 - std::min<std::size_t>(number.size(), 4), '0') + number +
                       ".svg"),
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"600\" height=\"800\">"
         "<rect width=\"600\" height=\"800\" fill=\"#fff\" stroke=\"#000\" stroke-width=\"8\"/>"
         "<text x=\"300\" y=\"520\" font-size=\"360\" text-anchor=\"middle\">" +
             number + "</text></svg>\n",
         {}});
  }
  return book;
}

}  // namespace

int main(int argc, char** argv) {
  const bool numbered = argc == 5 && std::string_view(argv[1]) == "--numbered";
  const int count = numbered ? std::atoi(argv[2]) : 0;
  const std::string_view direction = numbered ? argv[3] : "";
  if (!(argc == 2 || (numbered && count > 0 && count <= 9999 &&
                      (direction == "rtl" || direction == "ltr")))) {
    std::cerr << "usage: make-sample OUT.kzb | make-sample --numbered COUNT rtl|ltr OUT.kzb\n";
    return 2;
  }
  const char* const path = argv[argc - 1];
  const kzb::testing::Publication book =
      numbered ? numberedPages(count, direction == "rtl") : sample();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  kzb::testing::writeContainer(out, book);
  out.close();
  if (!out) {
    std::cerr << "make-sample: cannot write " << path << '\n';
    return 1;
  }
  return 0;
}

