// The buffer-to-channel mapping and its two spellings: --ch text and a JSON
// map file.
#include "frames/channel_map.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "base/error.h"
#include "base/file_read.h"
#include "scene/scene.h"

namespace qx {
namespace {

std::string trimmed(const std::string &text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// Why a number cannot stand as a buffer's constant, or empty when it can:
// the buffer holds floats, so a value the float makes infinite, NaN or 0
// (1e300, 1e-50) would fill the buffer with something the user never wrote.
// Subnormal floats are kept.
std::string constantProblem(double value) {
  if (std::isnan(value)) return "is not a number";
  if (!std::isfinite(value) || std::fabs(value) > static_cast<double>(FLT_MAX)) {
    return "is beyond the float range (about 3.4e38 either way)";
  }
  if (value != 0.0 && static_cast<float>(value) == 0.0f) {
    return "is too small for a float and would read 0 (smallest 1.4e-45)";
  }
  return "";
}

// A value that reads whole as a number ("1.0", "-2e3", "nan", "1e400") is a
// constant; anything else is a channel name.
bool readsAsNumber(const std::string &text, double &value) {
  if (text.empty()) return false;
  const char *begin = text.c_str();
  char *end = nullptr;
  value = std::strtod(begin, &end);
  return end == begin + text.size();
}

} // namespace

ChannelMap::ChannelMap() {
  for (int b = 0; b < kBufferSlots; ++b) {
    const char *name = bufferChannelName(b);
    sources_[static_cast<std::size_t>(b)].channel = name != nullptr ? name : "";
  }
}

int ChannelMap::bufferNamed(const std::string &name) {
  const int byChannel = bufferForChannel(name);
  if (byChannel >= 0) return byChannel;
  if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos ||
      name.size() > 2) {
    return -1;
  }
  const int number = std::atoi(name.c_str());
  return number < kBufferSlots ? number : -1;
}

void ChannelMap::set(int buffer, ChannelSource source) {
  sources_[static_cast<std::size_t>(buffer)] = std::move(source);
  mapped_[static_cast<std::size_t>(buffer)] = true;
}

void ChannelMap::addText(const std::string &text, const std::string &where) {
  std::array<bool, kBufferSlots> named{}; // in this list
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string item =
        trimmed(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    start = comma == std::string::npos ? text.size() + 1 : comma + 1;
    const std::size_t equals = item.find('=');
    if (equals == std::string::npos) {
      throw Error(where + ": \"" + item + "\" is not BUFFER=CHANNEL");
    }
    const std::string bufferName = trimmed(item.substr(0, equals));
    const std::string value = trimmed(item.substr(equals + 1));
    const int buffer = bufferNamed(bufferName);
    if (buffer < 0) {
      throw Error(where + ": \"" + bufferName +
                  "\" is not a host buffer (use a name of the Frames table, e.g. "
                  "SpecialBuffer, Shadow, R, or a number 0 to 35)");
    }
    if (value.empty()) throw Error(where + ": \"" + item + "\" names no channel");
    if (named[static_cast<std::size_t>(buffer)]) {
      throw Error(where + ": \"" + item + "\": buffer " + std::to_string(buffer) +
                  " is mapped twice in one list; the first would be lost");
    }
    named[static_cast<std::size_t>(buffer)] = true;
    ChannelSource source;
    double number = 0.0;
    if (readsAsNumber(value, number)) {
      const std::string problem = constantProblem(number);
      if (!problem.empty()) {
        throw Error(where + ": \"" + item + "\": the constant " + value + " " + problem);
      }
      source.kind = ChannelSource::Kind::Constant;
      source.constant = static_cast<float>(number);
    } else {
      source.channel = value;
    }
    set(buffer, std::move(source));
  }
}

void ChannelMap::addJsonFile(const std::string &path) {
  const std::string text = readFileLimited(path, "channel map");
  const nlohmann::json map = nlohmann::json::parse(text, nullptr, false);
  if (map.is_discarded()) throw Error(path + ": the channel map is not valid JSON");
  if (!map.is_object()) {
    throw Error(path + ": the channel map must be an object of BUFFER: CHANNEL");
  }
  if (const std::optional<DuplicateKey> twice = firstDuplicateKey(text)) {
    throw Error(path + ": \"" + twice->key + "\" is mapped twice; the first would be lost");
  }
  std::array<std::string, kBufferSlots> named; // the key that mapped each buffer
  for (auto it = map.begin(); it != map.end(); ++it) {
    const int buffer = bufferNamed(it.key());
    if (buffer < 0) throw Error(path + ": \"" + it.key() + "\" is not a host buffer");
    std::string &first = named[static_cast<std::size_t>(buffer)];
    if (!first.empty()) {
      throw Error(path + ": \"" + first + "\" and \"" + it.key() + "\" both map buffer " +
                  std::to_string(buffer) + "; one would be lost");
    }
    first = it.key();
    ChannelSource source;
    if (it->is_string() && !it->get<std::string>().empty()) {
      source.channel = it->get<std::string>();
    } else if (it->is_number()) {
      const std::string problem = constantProblem(it->get<double>());
      if (!problem.empty()) {
        throw Error(path + ": \"" + it.key() + "\": the constant " + it->dump() + " " + problem);
      }
      source.kind = ChannelSource::Kind::Constant;
      source.constant = it->get<float>();
    } else {
      throw Error(path + ": \"" + it.key() + "\" must be a channel name or a number");
    }
    set(buffer, std::move(source));
  }
}

std::string ChannelMap::colourCollision() const {
  for (int a = HOST_BUF_RED; a <= HOST_BUF_ALPHA; ++a) {
    const ChannelSource &first = source(a);
    if (first.kind != ChannelSource::Kind::Channel) continue;
    for (int b = a + 1; b <= HOST_BUF_ALPHA; ++b) {
      const ChannelSource &second = source(b);
      if (second.kind == ChannelSource::Kind::Channel && second.channel == first.channel) {
        return std::string("both ") + bufferChannelName(a) + " and " + bufferChannelName(b) +
               " would be written into channel \"" + first.channel + "\"";
      }
    }
  }
  return "";
}

} // namespace qx
