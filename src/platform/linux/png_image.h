#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace deskwave {

// An image file as PNG bytes, ready for the clipboard's "image/png". A PNG
// file comes back byte for byte (once it has decoded whole); any other format
// gdk-pixbuf reads (JPEG, GIF, WebP, TIFF, BMP …) is converted, turned upright
// first when it carries an orientation tag, as a phone's photos do. Absent
// when the file is missing, unreadable, not an image or damaged.
std::optional<std::string> loadImageAsPng(const std::filesystem::path& file);

}  // namespace deskwave
