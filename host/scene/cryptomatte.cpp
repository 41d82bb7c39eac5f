// Cryptomatte names: the hash, the manifest and a file's layers.
#include "scene/cryptomatte.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "base/error.h"
#include "base/file_read.h"

namespace qx {
namespace {

std::uint32_t rotateLeft(std::uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

std::uint32_t finalMix(std::uint32_t h) {
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  h ^= h >> 16;
  return h;
}

bool isHexHash(const std::string &text, std::uint32_t &hash) {
  if (text.size() != 8) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + 8, hash, 16);
  return error == std::errc() && end == text.data() + 8;
}

// The layer's attribute `what` ("name", "manifest", "manif_file") from its
// key, or null.
const std::string *attribute(const CryptomattePartInfo &part, const std::string &key,
                             const char *what) {
  const auto it = part.attributes.find("cryptomatte/" + key + "/" + what);
  return it == part.attributes.end() ? nullptr : &it->second;
}

// The rank channels of the layer `name` that `channels` holds: whole
// groups of four, "<name>00.R" to "<name>00.A", "<name>01.R", ..., in order.
std::vector<std::string> rankChannelsOf(const std::string &name,
                                        const std::vector<std::string> &channels) {
  std::vector<std::string> ranks;
  for (int group = 0; group < 100; ++group) {
    char number[8];
    std::snprintf(number, sizeof number, "%02d", group);
    std::vector<std::string> found;
    for (const char *c : {".R", ".G", ".B", ".A"}) {
      const std::string channel = name + number + c;
      if (std::find(channels.begin(), channels.end(), channel) != channels.end()) {
        found.push_back(channel);
      }
    }
    if (found.size() != 4) break;
    ranks.insert(ranks.end(), found.begin(), found.end());
  }
  return ranks;
}

// The layers' names a part announces, by key.
std::vector<std::pair<std::string, std::string>> layerNames(const CryptomattePartInfo &part) {
  std::vector<std::pair<std::string, std::string>> names;
  const std::string prefix = "cryptomatte/", suffix = "/name";
  for (const auto &[attributeName, value] : part.attributes) {
    if (attributeName.size() <= prefix.size() + suffix.size() ||
        attributeName.compare(0, prefix.size(), prefix) != 0 ||
        attributeName.compare(attributeName.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    names.emplace_back(
        attributeName.substr(prefix.size(), attributeName.size() - prefix.size() - suffix.size()),
        value);
  }
  return names;
}

} // namespace

std::vector<std::string> cryptomatteRankChannels(const std::vector<CryptomattePartInfo> &parts) {
  std::vector<std::string> channels;
  for (const CryptomattePartInfo &part : parts) {
    for (const auto &[key, name] : layerNames(part)) {
      const std::vector<std::string> ranks = rankChannelsOf(name, part.channels);
      channels.insert(channels.end(), ranks.begin(), ranks.end());
    }
  }
  return channels;
}

std::uint32_t murmurHash3x86(const void *data, std::size_t size, std::uint32_t seed) {
  const auto *bytes = static_cast<const unsigned char *>(data);
  const std::uint32_t c1 = 0xcc9e2d51u, c2 = 0x1b873593u;
  std::uint32_t h = seed;
  const std::size_t blocks = size / 4;
  for (std::size_t i = 0; i < blocks; ++i) {
    std::uint32_t k = static_cast<std::uint32_t>(bytes[4 * i]) |
                      static_cast<std::uint32_t>(bytes[4 * i + 1]) << 8 |
                      static_cast<std::uint32_t>(bytes[4 * i + 2]) << 16 |
                      static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24;
    k = rotateLeft(k * c1, 15) * c2;
    h = rotateLeft(h ^ k, 13) * 5 + 0xe6546b64u;
  }
  const unsigned char *tail = bytes + blocks * 4;
  std::uint32_t k = 0;
  switch (size & 3) {
  case 3:
    k ^= static_cast<std::uint32_t>(tail[2]) << 16;
    [[fallthrough]];
  case 2:
    k ^= static_cast<std::uint32_t>(tail[1]) << 8;
    [[fallthrough]];
  case 1:
    k ^= tail[0];
    h ^= rotateLeft(k * c1, 15) * c2;
    break;
  default:
    break;
  }
  return finalMix(h ^ static_cast<std::uint32_t>(size));
}

std::uint32_t cryptomatteHash(const std::string &name) {
  std::uint32_t hash = murmurHash3x86(name.data(), name.size(), 0);
  const std::uint32_t exponent = (hash >> 23) & 0xffu;
  if (exponent == 0 || exponent == 255) hash ^= 1u << 23;
  return hash;
}

float cryptomatteFloat(std::uint32_t hash) {
  float value;
  std::memcpy(&value, &hash, sizeof value);
  return value;
}

std::uint32_t cryptomatteBits(float id) {
  std::uint32_t bits;
  std::memcpy(&bits, &id, sizeof bits);
  return bits;
}

std::string hashText(std::uint32_t hash) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned int>(hash));
  return text;
}

std::string exactText(double value) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  if (error != std::errc()) return "nan";
  std::string shortest(text, end);
  // JSON and the scene's reader take a plain integer as a double too, but a
  // reader in another language may not: keep it visibly a float.
  if (shortest.find_first_of(".eEn") == std::string::npos) shortest += ".0";
  return shortest;
}

const std::string *CryptomatteLayer::nameOf(std::uint32_t hash) const {
  for (const CryptomatteName &entry : manifest) {
    if (entry.hash == hash) return &entry.name;
  }
  return nullptr;
}

std::vector<CryptomatteName> parseManifest(const std::string &text, const std::string &source) {
  // An ordered object keeps the renderer's order, for listings.
  const nlohmann::ordered_json manifest = nlohmann::ordered_json::parse(text, nullptr, false);
  if (manifest.is_discarded() || !manifest.is_object()) {
    throw Error(source + ": the manifest is not a JSON object of name: hex id");
  }
  std::vector<CryptomatteName> names;
  for (auto it = manifest.begin(); it != manifest.end(); ++it) {
    std::uint32_t hash = 0;
    if (!it->is_string() || !isHexHash(it->get<std::string>(), hash)) {
      throw Error(source + ": the manifest's \"" + it.key() + "\" is no id of eight hex digits");
    }
    names.push_back({it.key(), hash});
  }
  return names;
}

std::vector<CryptomatteLayer>
cryptomatteLayers(const std::vector<CryptomattePartInfo> &parts, const std::string &file,
                  const std::string &folder, const std::function<void(const std::string &)> &warn) {
  std::vector<CryptomatteLayer> layers;
  for (std::size_t p = 0; p < parts.size(); ++p) {
    const CryptomattePartInfo &part = parts[p];
    for (const auto &[key, name] : layerNames(part)) {
      CryptomatteLayer layer;
      layer.key = key;
      layer.name = name;
      layer.part = static_cast<int>(p);
      layer.rankChannels = rankChannelsOf(layer.name, part.channels);
      if (layer.rankChannels.empty()) {
        throw Error(file + ": Cryptomatte layer \"" + layer.name + "\" has no rank channels (" +
                    layer.name + "00.R, .G, .B, .A)");
      }
      if (const std::string *manifest = attribute(part, layer.key, "manifest")) {
        layer.manifestSource = "the header";
        layer.manifest = parseManifest(*manifest, file + ": layer \"" + layer.name + "\"");
      } else if (const std::string *sidecar = attribute(part, layer.key, "manif_file")) {
        const std::filesystem::path path = std::filesystem::path(folder) / *sidecar;
        layer.manifestSource = path.string();
        layer.manifest = parseManifest(readFileLimited(path.string(), "manifest"), path.string());
      }
      for (const CryptomatteName &entry : layer.manifest) {
        const std::uint32_t computed = cryptomatteHash(entry.name);
        if (computed != entry.hash) {
          warn(file + ": layer \"" + layer.name + "\": the manifest gives \"" + entry.name +
               "\" the id " + hashText(entry.hash) + ", its name hashes to " + hashText(computed) +
               "; the manifest's is used");
        }
      }
      layers.push_back(std::move(layer));
    }
  }
  return layers;
}

const CryptomatteLayer &findCryptomatteLayer(const std::vector<CryptomatteLayer> &layers,
                                             const std::string &name, const std::string &file) {
  for (const CryptomatteLayer &layer : layers) {
    if (layer.name == name || (name.empty() && layers.size() == 1)) return layer;
  }
  std::string names;
  for (const CryptomatteLayer &layer : layers) names += (names.empty() ? "" : ", ") + layer.name;
  if (layers.empty()) throw Error(file + ": holds no Cryptomatte layer");
  if (name.empty()) {
    throw Error(file + ": holds several Cryptomatte layers (" + names +
                "); name one with --cryptomatte");
  }
  throw Error(file + ": no Cryptomatte layer \"" + name + "\"; the file has " + names);
}

} // namespace qx
