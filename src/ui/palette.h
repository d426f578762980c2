#pragma once

#include <cstdint>

namespace deskwave::ui {

// One opaque sRGB colour, channels out of 255.
struct Rgb {
  std::uint8_t r, g, b;
};

// The colours the menu and the set-up window share.
namespace palette {
inline constexpr Rgb background{10, 23, 18};    // window backgrounds
inline constexpr Rgb selector{20, 35, 27};      // selected rows and buttons
inline constexpr Rgb text{230, 236, 233};       // primary text
inline constexpr Rgb secondary{126, 140, 134};  // secondary text; phone offline
inline constexpr Rgb inputBorder{81, 88, 96};   // text-field borders
inline constexpr Rgb panelBorder{61, 79, 69};   // panel borders
inline constexpr Rgb linkGreen{47, 115, 85};    // links
inline constexpr Rgb inputIcon{157, 177, 167};  // icons inside text fields
inline constexpr Rgb online{76, 195, 138};      // phone connected
inline constexpr Rgb paused{224, 151, 79};      // bridge paused
inline constexpr Rgb danger{224, 101, 95};      // errors
}  // namespace palette

// How the status row shows the connection.
enum class Tone { paused, online, offline };

constexpr Rgb statusColor(Tone tone) {
  switch (tone) {
    case Tone::paused:
      return palette::paused;
    case Tone::online:
      return palette::online;
    case Tone::offline:
      break;
  }
  return palette::secondary;
}

}  // namespace deskwave::ui
