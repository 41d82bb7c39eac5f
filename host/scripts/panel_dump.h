// What a panel shows, for people and tests: a JSON dump of its controls and a
// picture of its drawing surface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx {

class Host;
class Panel;

// A row text as the module hands it over, Shift-JIS, in UTF-8: ASCII as it
// is, the three layer symbols 0x81 0x9B, 0x81 0x9C, 0x81 0x9D as "○", "●",
// "◎", and every other character (a two-byte pair, or a single byte) as
// U+FFFD.
std::string shiftJisToUtf8(const std::string &text);

// The panel as JSON: its title, size and position; every control with its
// index, label, kind, position, size, drawing state and value (list boxes
// with their rows, the area with its drawing region's origin); the messages
// the module showed; the colour and file requests it made; and `state`, the
// scene-state lines the instance saves now.
std::string panelDump(const Panel &panel, Host &host, const std::vector<std::string> &state);

// The panel as the user would see it, without text: the host's background
// and a faint outline of every control that is not erased, and on top every
// pixel the module drew. RGB, rows from the top, panel width by height.
inline constexpr std::uint8_t kPictureBackground = 232;
inline constexpr std::uint8_t kOutlineShade = 176;        // live and normal controls
inline constexpr std::uint8_t kGhostedOutlineShade = 208; // ghosted controls
std::vector<std::uint8_t> panelPicture(const Panel &panel);

// Writers; each throws Error naming the file. The picture is a PNG, or for a
// name ending in ".npy" an array of height x width x 3 bytes.
void writePanelDump(const std::string &path, const std::string &json);
void writePanelPicture(const std::string &path, const Panel &panel);

} // namespace qx
