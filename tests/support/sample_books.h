// Images whose headers give their size, as each format lays its header out, and the containers
// of pages that the EPUB's tests convert: the same table for the books kzb convert writes on
// Linux and under wine, and for those kzb-mount shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container_builder.h"

namespace kzb::testing {

Bytes be16(unsigned value);
Bytes le16(unsigned value);
Bytes be32(unsigned value);

Bytes png(unsigned width, unsigned height);
// A baseline JPEG that decoders read whole: one grey component, every 8x8 block a DC of 0
// and an end of block, coded in two bits by one-code Huffman tables.
Bytes jpeg(unsigned width, unsigned height, std::size_t appBytes = 14);
// A GIF whose screen is `width` by `height`, holding one image of one pixel.
Bytes gif(unsigned width, unsigned height);
Bytes webpExtended(unsigned width, unsigned height);
Bytes webpLossy(unsigned width, unsigned height);
Bytes webpLossless(unsigned width, unsigned height);
Bytes svg(const std::string& attributes);

struct SampleBook {
  std::string name;  // the container's file name, without ".kzb"
  Bytes container;
};

// Containers of every kind of row the EPUB tells apart: images of each kind, text, files that
// are neither, names refused or shared, each binding direction. Each image carries `padding`
// bytes after its header, which no reader of its size looks at.
std::vector<SampleBook> sampleBooks(std::size_t padding);

}  // namespace kzb::testing
