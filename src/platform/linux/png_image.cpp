#include "platform/linux/png_image.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string_view>
#include <system_error>

namespace deskwave {
namespace {

constexpr std::string_view kPngSignature("\x89PNG\r\n\x1a\n", 8);

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

std::optional<std::string> readWhole(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

std::optional<std::string> encodePng(GdkPixbuf* pixbuf) {
  gchar* buffer = nullptr;
  gsize size = 0;
  GError* error = nullptr;
  if (!gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", &error, nullptr)) {
    if (error) g_error_free(error);
    g_free(buffer);
    return std::nullopt;
  }
  std::string png(buffer, size);
  g_free(buffer);
  return png;
}

}  // namespace

std::optional<std::string> loadImageAsPng(const std::filesystem::path& file) {
  try {
    std::error_code error;
    // Not a device or a pipe, which could be read forever.
    if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
    // Decoded from the file, not fed to an incremental loader: that one takes
    // a PNG cut short for a whole image.
    GError* decodeError = nullptr;
    GObjectPtr<GdkPixbuf> image(gdk_pixbuf_new_from_file(file.c_str(), &decodeError));
    if (decodeError) g_error_free(decodeError);
    if (!image) return std::nullopt;
    auto bytes = readWhole(file);
    if (!bytes) return std::nullopt;
    if (bytes->starts_with(kPngSignature)) return bytes;
    // JPEG and TIFF keep the camera's orientation in a tag the pixels ignore.
    GObjectPtr<GdkPixbuf> upright(gdk_pixbuf_apply_embedded_orientation(image.get()));
    if (!upright) return std::nullopt;
    return encodePng(upright.get());
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace deskwave
