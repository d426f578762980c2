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
  std::error_code error;
  // Not a device or a pipe, which could be read forever.
  if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

// Decodes the bytes; null when they are not a whole image. The loader keeps
// the pixbuf alive.
GdkPixbuf* decode(GdkPixbufLoader* loader, const std::string& bytes) {
  GError* error = nullptr;
  const bool written =
      gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data()), bytes.size(), &error);
  if (error) g_clear_error(&error);
  // Closed in any case: it reports an image cut short, and an unclosed loader complains.
  const bool closed = gdk_pixbuf_loader_close(loader, &error);
  if (error) g_clear_error(&error);
  if (!written || !closed) return nullptr;
  return gdk_pixbuf_loader_get_pixbuf(loader);
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
    auto bytes = readWhole(file);
    if (!bytes || bytes->empty()) return std::nullopt;
    GObjectPtr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new());
    GdkPixbuf* pixbuf = decode(loader.get(), *bytes);
    if (!pixbuf) return std::nullopt;
    if (bytes->starts_with(kPngSignature)) return bytes;
    // JPEG and TIFF keep the camera's orientation in a tag the pixels ignore.
    GObjectPtr<GdkPixbuf> upright(gdk_pixbuf_apply_embedded_orientation(pixbuf));
    if (!upright) return std::nullopt;
    return encodePng(upright.get());
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace deskwave
