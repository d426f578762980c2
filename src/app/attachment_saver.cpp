#include "app/attachment_saver.h"

#include "platform/base64.h"
#include "platform/file_append.h"

namespace deskwave {
namespace {

constexpr std::size_t kMaxNameBytes = 200;  // well inside the 255-byte file-name limit
constexpr int kMaxSuffix = 9999;

// Cuts `text` to at most `bytes` bytes without splitting a UTF-8 sequence.
std::string cutUtf8(std::string text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  std::size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

std::pair<std::string, std::string> splitExtension(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot > 16) return {name, ""};
  return {name.substr(0, dot), name.substr(dot)};
}

}  // namespace

std::string safeAttachmentName(std::string_view name) {
  std::string safe(name);
  for (char& c : safe) {
    const auto u = static_cast<unsigned char>(c);
    if (c == ' ' || c == '/' || u < 0x20 || u == 0x7F) c = '_';
  }
  if (safe.size() <= kMaxNameBytes) return safe;
  auto [stem, ext] = splitExtension(safe);
  return cutUtf8(stem, kMaxNameBytes - ext.size()) + ext;
}

std::vector<std::filesystem::path> saveAttachments(const std::filesystem::path& folder,
                                                   const std::vector<AttachedImage>& images, WallTime now) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  std::vector<std::filesystem::path> saved;
  for (const auto& image : images) {
    auto bytes = base64Decode(image.base64);
    if (!bytes) continue;
    const std::string_view content(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    const auto [stem, ext] = splitExtension(std::to_string(seconds) + "-" + safeAttachmentName(image.name));
    for (int n = 0; n <= kMaxSuffix; ++n) {
      auto file = folder / (n == 0 ? stem + ext : stem + "-" + std::to_string(n) + ext);
      const auto result = writeNewFile(file, content);
      if (result == NewFileResult::exists) continue;
      if (result == NewFileResult::written) saved.push_back(std::move(file));
      break;
    }
  }
  return saved;
}

}  // namespace deskwave
