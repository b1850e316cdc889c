// Writes the bundled sample container: five files of different sizes (one empty, one of
// several copy blocks, one with a Korean name) with Korean and ASCII metadata.
//
//   make-sample OUT.kzb
#include <fstream>
#include <iostream>
#include <string>

#include "container_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make-sample OUT.kzb\n";
    return 2;
  }
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
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  kzb::testing::writeContainer(out, sample);
  out.close();
  if (!out) {
    std::cerr << "make-sample: cannot write " << argv[1] << '\n';
    return 1;
  }
  return 0;
}
