// Panel dumps and pictures.
#include "scripts/panel_dump.h"

#include <fstream>

#include <nlohmann/json.hpp>

#include "base/error.h"
#include "base/safe_write.h"
#include "frames/image_io.h"
#include "frames/npy.h"
#include "panel/panel_services.h"
#include "stand_in/stand_in_host.h"

namespace qx {
namespace {

using json = nlohmann::ordered_json;

bool isLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
bool isTrailByte(unsigned char c) { return c >= 0x40 && c <= 0xFC && c != 0x7F; }

json valueOf(const PanelControl &control) {
  const HostValue &value = control.value();
  switch (value.type) {
  case HOST_VALUE_FLOAT:
    return value.flt.value;
  case HOST_VALUE_IVEC:
    return json::array({value.ivec.value[0], value.ivec.value[1], value.ivec.value[2]});
  default:
    return static_cast<long long>(value.intv.value);
  }
}

json controlJson(const PanelControl &control) {
  json node = json::object();
  node["index"] = control.index();
  node["label"] = control.label();
  node["kind"] = controlKindName(control.kind());
  node["x"] = control.x();
  node["y"] = control.y();
  node["width"] = control.width();
  node["height"] = control.height();
  if (control.kind() == ControlKind::Area)
    node["origin"] = json::array({control.originX(), control.originY()});
  node["state"] = controlStateName(control.state());
  node["value"] = valueOf(control);
  if (control.kind() == ControlKind::Popup) node["items"] = control.items();
  if (control.kind() == ControlKind::ListBox) {
    json rows = json::array();
    for (const std::string &row : control.rows()) rows.push_back(shiftJisToUtf8(row));
    node["rows"] = std::move(rows);
  }
  return node;
}

const char *messageKindName(MessageService::Kind kind) {
  switch (kind) {
  case MessageService::Kind::Info:
    return "info";
  case MessageService::Kind::Error:
    return "error";
  case MessageService::Kind::Warning:
    return "warning";
  }
  return "?";
}

json requestsJson(Host &host) {
  json list = json::array();
  for (const ColorPickerService::Request &request : host.picker().requests()) {
    json node = json::object();
    node["service"] = HOST_COLOR_PICKER;
    node["title"] = request.title;
    node["shown"] = request.shown;
    node["answer"] = request.accepted ? "accept" : "cancel";
    if (request.accepted) node["colour"] = request.chosen;
    list.push_back(std::move(node));
  }
  for (const FileRequestService::Request &request : host.files().requests()) {
    json node = json::object();
    node["service"] = HOST_FILE_REQUEST;
    node["title"] = request.title;
    node["baseName"] = request.baseName;
    node["path"] = request.path;
    node["answer"] = request.chosen ? "choose" : "cancel";
    if (request.chosen) node["file"] = request.fullName;
    list.push_back(std::move(node));
  }
  return list;
}

void outline(std::vector<std::uint8_t> &rgb, int width, int height, const PanelControl &control,
             std::uint8_t shade) {
  const int x0 = control.x(), y0 = control.y();
  const int x1 = x0 + control.width() - 1, y1 = y0 + control.height() - 1;
  auto put = [&](int x, int y) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                           static_cast<std::size_t>(x)) *
                          3;
    rgb[i] = rgb[i + 1] = rgb[i + 2] = shade;
  };
  for (int x = x0; x <= x1; ++x) {
    put(x, y0);
    put(x, y1);
  }
  for (int y = y0; y <= y1; ++y) {
    put(x0, y);
    put(x1, y);
  }
}

} // namespace

std::string shiftJisToUtf8(const std::string &text) {
  static const char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    if (isLeadByte(c) && i + 1 < text.size() &&
        isTrailByte(static_cast<unsigned char>(text[i + 1]))) {
      const unsigned char trail = static_cast<unsigned char>(text[++i]);
      if (c == 0x81 && trail == 0x9B) {
        out += "\xE2\x97\x8B"; // ○ U+25CB
      } else if (c == 0x81 && trail == 0x9C) {
        out += "\xE2\x97\x8F"; // ● U+25CF
      } else if (c == 0x81 && trail == 0x9D) {
        out += "\xE2\x97\x8E"; // ◎ U+25CE
      } else {
        out += kReplacement;
      }
      continue;
    }
    out += kReplacement; // a single-byte character, or a pair cut short
  }
  return out;
}

std::string panelDump(const Panel &panel, Host &host, const std::vector<std::string> &state) {
  json root = json::object();
  json info = json::object();
  info["title"] = panel.title();
  info["width"] = panel.width();
  info["height"] = panel.height();
  info["requestedWidth"] = panel.requestedWidth();
  info["requestedHeight"] = panel.requestedHeight();
  info["x"] = panel.x();
  info["y"] = panel.y();
  root["panel"] = std::move(info);

  json controls = json::array();
  for (std::size_t i = 0; i < panel.controlCount(); ++i)
    controls.push_back(controlJson(panel.control(i)));
  root["controls"] = std::move(controls);

  json messages = json::array();
  for (const MessageService::Message &message : host.messages().messages()) {
    json node = json::object();
    node["kind"] = messageKindName(message.kind);
    node["text"] = message.text;
    if (!message.detail.empty()) node["detail"] = message.detail;
    messages.push_back(std::move(node));
  }
  root["messages"] = std::move(messages);
  root["requests"] = requestsJson(host);
  root["state"] = state;
  return root.dump(2) + "\n";
}

std::vector<std::uint8_t> panelPicture(const Panel &panel) {
  const int width = panel.width(), height = panel.height();
  std::vector<std::uint8_t> rgb(
      static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3, kPictureBackground);
  for (std::size_t i = 0; i < panel.controlCount(); ++i) {
    const PanelControl &control = panel.control(i);
    if (control.state() == ControlState::Erased) continue;
    outline(rgb, width, height, control,
            control.state() == ControlState::Ghosted ? kGhostedOutlineShade : kOutlineShade);
  }
  const PanelCanvas &canvas = panel.canvas();
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (!canvas.drawn(x, y)) continue;
      const std::array<std::uint8_t, 3> pixel = canvas.at(x, y);
      const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                             static_cast<std::size_t>(x)) *
                            3;
      rgb[i] = pixel[0];
      rgb[i + 1] = pixel[1];
      rgb[i + 2] = pixel[2];
    }
  }
  return rgb;
}

void writePanelDump(const std::string &path, const std::string &json) {
  writeFileAtomically(path, json);
}

void writePanelPicture(const std::string &path, const Panel &panel) {
  const std::vector<std::uint8_t> rgb = panelPicture(panel);
  if (path.size() >= 4 && (path.compare(path.size() - 4, 4, ".npy") == 0 ||
                           path.compare(path.size() - 4, 4, ".NPY") == 0)) {
    writeNpy(path, NpyType::UInt8,
             {static_cast<std::size_t>(panel.height()), static_cast<std::size_t>(panel.width()), 3},
             rgb.data());
  } else {
    writePngBytes(path, panel.width(), panel.height(), 3, rgb);
  }
}

} // namespace qx
