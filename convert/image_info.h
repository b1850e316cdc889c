// What kind of image a stored file is, and its size in pixels, from its first bytes alone:
// the kind is told by the bytes (a name may lie), and the size is read from the header each
// format puts first. Nothing else of the image is read, so a page of any size costs one read
// of at most kImageHeadSize bytes.
//
//  - JPEG: the frame header (SOF0-SOF15 but DHT, JPG and DAC) after the segments before it;
//    a JPEG whose frame header lies past the head is no image here.
//  - PNG: IHDR, which must come first.
//  - GIF: the logical screen of GIF87a and GIF89a.
//  - WebP: VP8 (lossy), VP8L (lossless) or VP8X (extended) in a RIFF header.
//  - SVG: the root element's width and height where both are plain numbers or px, else the
//    viewBox's; the root must start within the head, after at most an XML declaration,
//    comments, processing instructions and a DOCTYPE. Sizes are rounded up to whole pixels.
// Sizes of 0, or past 65,535 either way (more than any reader lays out), are no image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kzb {

inline constexpr std::size_t kImageHeadSize = 64 * 1024;

enum class ImageKind { jpeg, png, gif, webp, svg };

struct ImageInfo {
  ImageKind kind = ImageKind::jpeg;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// `head`: the file's first bytes (all of them where it is shorter than kImageHeadSize).
std::optional<ImageInfo> imageInfo(std::span<const std::byte> head);

// The media type and the file name extension an EPUB gives the kind.
std::string_view mediaType(ImageKind kind);
std::string_view extension(ImageKind kind);

}  // namespace kzb
