// Object ids the way production renderers name their objects (Cryptomatte,
// an open standard): an id per object, hashed from its name, listed in a
// manifest in the file's header, and stored per pixel as ranked
// (id, coverage) pairs. This unit holds the hash, the manifest and the
// description of a file's layers; it needs no image library, so the build
// without OpenEXR resolves names in scenes too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qx {

// MurmurHash3, its 32-bit x86 variant, of `size` bytes.
std::uint32_t murmurHash3x86(const void *data, std::size_t size, std::uint32_t seed = 0);

// The id of an object name: MurmurHash3_x86_32 of its UTF-8 bytes with seed
// 0, with bit 23 flipped where the exponent would be 0 or 255, so that the
// float the bits make is neither subnormal, infinite nor NaN.
std::uint32_t cryptomatteHash(const std::string &name);
// The float an id's bits make, as the rank channels store it, and back.
float cryptomatteFloat(std::uint32_t hash);
std::uint32_t cryptomatteBits(float id);
// The id as the manifest writes it: eight lowercase hex digits.
std::string hashText(std::uint32_t hash);

// The shortest decimal text that reads back as exactly `value` (as a
// double): 0.1f gives "0.10000000149011612", an id "-8.363234786086375e-35".
std::string exactText(double value);

// One entry of a layer's manifest.
struct CryptomatteName {
  std::string name;
  std::uint32_t hash = 0;
};

// A layer of a file: its name ("CryptoObject"), the key its attributes go
// under, the part that holds it, and its rank channels in rank order, four
// a group ("<name>00.R", "<name>00.G", "<name>00.B", "<name>00.A", then
// "<name>01.R", ...). Each group holds two ranks: (R, G) and (B, A), an id
// and its coverage each.
struct CryptomatteLayer {
  std::string key;
  std::string name;
  int part = 0;
  std::vector<std::string> rankChannels;
  // Manifest order; empty when the file carries none.
  std::vector<CryptomatteName> manifest;
  // Where the manifest came from: "the header", or the sidecar file's path.
  std::string manifestSource;

  // (id, coverage) pairs per pixel.
  int ranks() const { return static_cast<int>(rankChannels.size() / 2); }
  // The manifest's name of an id, if it has one.
  const std::string *nameOf(std::uint32_t hash) const;
};

// What a part of a file says of its layers: its string attributes (name to
// value) and its channels.
struct CryptomattePartInfo {
  std::map<std::string, std::string> attributes;
  std::vector<std::string> channels;
};

// The layers that the parts' "cryptomatte/<key>/name" attributes announce,
// with their rank channels and manifests ("cryptomatte/<key>/manifest", or
// the sidecar file "cryptomatte/<key>/manif_file" names, read from
// `folder`). A manifest entry whose hash disagrees with its name's is kept
// as the renderer wrote it, and told to `warn`. Throws Error naming `file`
// for a manifest that cannot be read or a layer without rank channels.
std::vector<CryptomatteLayer>
cryptomatteLayers(const std::vector<CryptomattePartInfo> &parts, const std::string &file,
                  const std::string &folder, const std::function<void(const std::string &)> &warn);

// Every rank channel of every layer the parts announce, without reading
// their manifests: the channels that hold ids.
std::vector<std::string> cryptomatteRankChannels(const std::vector<CryptomattePartInfo> &parts);

// The layer named `name` (or, for an empty name, the only one). Throws Error
// naming `file` and the layers it has.
const CryptomatteLayer &findCryptomatteLayer(const std::vector<CryptomatteLayer> &layers,
                                             const std::string &name, const std::string &file);

// Parses a manifest, {"name": "hex8", ...}, in the order it is written.
// Throws Error naming `source`.
std::vector<CryptomatteName> parseManifest(const std::string &text, const std::string &source);

// The ranked pairs of one pixel, gathered from the rank channels, as the
// filter's soft edges take them: only pairs of coverage above 0.
struct CoveragePair {
  float id = 0.0f;
  float coverage = 0.0f;
};

} // namespace qx
