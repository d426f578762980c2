#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "local/http_server.h"
#include "platform/clock.h"

namespace deskwave {

// The file-name part made from an image's name: blanks, "/" and control
// characters become "_", and over-long names are shortened (keeping the extension).
std::string safeAttachmentName(std::string_view name);

// Saves each image whose Base64 data decodes into `folder` as
// "<seconds since 1970>-<safe name>", never replacing an existing file (a
// numeric suffix goes before the extension instead). Images that do not decode
// or cannot be written are skipped. Returns the saved files in order.
std::vector<std::filesystem::path> saveAttachments(const std::filesystem::path& folder,
                                                   const std::vector<AttachedImage>& images, WallTime now);

}  // namespace deskwave
