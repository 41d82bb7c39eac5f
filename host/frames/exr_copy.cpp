// Chunks the filter left alone copied as read; the others packed again the
// way the library's own writer packs them.
#include "frames/exr_copy.h"

#include <IlmThreadPool.h>
#include <ImfChannelList.h>
#include <ImfOutputFile.h>
#include <half.h>
#include <openexr.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>

#include "frames/exr_slices.h"

namespace qx {

// What a core context's callbacks reach: the stream written, where the
// header goes, and the library's last complaint.
//
// The core puts a "type" attribute in every part it writes, which the
// library's own writer leaves out of a single part of scan lines. The header
// goes out as that writer writes it instead, and everything after it is
// moved by the difference in their lengths (the chunks' offsets too).
struct CoreStream {
  Imf::OStream *stream = nullptr;
  std::string error;
  bool inHeader = true;       // the core's header is being written, and dropped
  uint64_t coreHeaderEnd = 0; // where the core's header ends
  int64_t shift = 0;          // the core's header's length less the one written
  uint64_t tableBytes = 0;    // the chunks' offsets, right after the header
};

namespace {

// The header as the library's own writer writes it, gathered in memory.
class HeaderBytes : public Imf::OStream {
public:
  HeaderBytes() : Imf::OStream("header") {}
  void write(const char c[], int n) override {
    const auto count = static_cast<std::size_t>(n);
    if (bytes.size() < position + count) bytes.resize(position + count);
    std::memcpy(&bytes[position], c, count);
    position += count;
  }
  uint64_t tellp() override { return position; }
  void seekp(uint64_t pos) override { position = static_cast<std::size_t>(pos); }
  std::string bytes;
  std::size_t position = 0;
};

CoreStream &streamOf(exr_const_context_t context) {
  void *user = nullptr;
  exr_get_user_data(context, &user);
  return *static_cast<CoreStream *>(user);
}

void noteError(exr_const_context_t context, exr_result_t, const char *message) {
  streamOf(context).error = message != nullptr ? message : "";
}

void writeAt(Imf::OStream &stream, uint64_t offset, const char *from, uint64_t size) {
  stream.seekp(offset);
  for (uint64_t done = 0; done < size;) {
    const int piece = static_cast<int>(std::min<uint64_t>(size - done, uint64_t{1} << 30));
    stream.write(from + done, piece);
    done += static_cast<uint64_t>(piece);
  }
}

// Writes through the safe-write stream, which keeps a failure of its own to
// tell in the file's terms (ExrTarget).
int64_t writeBytes(exr_const_context_t, void *user, const void *buffer, uint64_t size,
                   uint64_t offset, exr_stream_error_func_ptr_t) {
  CoreStream &out = *static_cast<CoreStream *>(user);
  try {
    if (out.inHeader) {
      out.coreHeaderEnd = std::max(out.coreHeaderEnd, offset + size);
      return static_cast<int64_t>(size);
    }
    if (offset < out.coreHeaderEnd) throw std::runtime_error("the header is written again");
    const char *from = static_cast<const char *>(buffer);
    std::string table;
    if (offset < out.coreHeaderEnd + out.tableBytes) {
      // The chunks' offsets, each moved as the chunks are.
      if ((offset - out.coreHeaderEnd) % 8 != 0 || size % 8 != 0) {
        throw std::runtime_error("the chunk offsets are written in pieces");
      }
      table.assign(from, static_cast<std::size_t>(size));
      for (std::size_t at = 0; at < table.size(); at += 8) {
        uint64_t value = 0;
        for (std::size_t k = 0; k < 8; ++k) {
          value |= uint64_t{static_cast<unsigned char>(table[at + k])} << (8 * k);
        }
        if (value != 0) value = static_cast<uint64_t>(static_cast<int64_t>(value) - out.shift);
        for (std::size_t k = 0; k < 8; ++k) table[at + k] = static_cast<char>(value >> (8 * k));
      }
      from = table.data();
    }
    writeAt(*out.stream, static_cast<uint64_t>(static_cast<int64_t>(offset) - out.shift), from,
            size);
  } catch (const std::exception &e) {
    out.error = e.what();
    return -1;
  }
  return static_cast<int64_t>(size);
}

exr_context_initializer_t initializer(CoreStream &stream) {
  exr_context_initializer_t init{};
  init.size = sizeof(init);
  init.zip_level = -2;
  init.dwa_quality = -1.0f;
  init.user_data = &stream;
  init.error_handler_fn = noteError;
  return init;
}

void check(exr_result_t result, const CoreStream &stream) {
  if (result == EXR_ERR_SUCCESS) return;
  throw std::runtime_error(stream.error.empty() ? exr_get_default_error_message(result)
                                                : stream.error);
}

// A colour sample's bytes in the file as the writer converts it
// (ExrOutput: half, float, or uintSample).
int sampleBytesOf(float v, Imf::PixelType type, unsigned char out[4]) {
  std::uint32_t bits = 0;
  int n = 4;
  if (type == Imf::HALF) {
    bits = half(v).bits();
    n = 2;
  } else if (type == Imf::FLOAT) {
    std::memcpy(&bits, &v, 4);
  } else {
    bits = uintSample(v);
  }
  for (int k = 0; k < n; ++k) out[k] = static_cast<unsigned char>(bits >> (8 * k));
  return n;
}

} // namespace

struct ExrChunkCopy::Core {
  CoreStream out;
  exr_context_t context = nullptr;
  ~Core() {
    if (context != nullptr) exr_finish(&context);
  }
};

// A chunk as it goes out: its own bytes, or bytes packed here.
struct ExrChunkCopy::Packed {
  bool copied = false;
  const char *data = nullptr;
  std::size_t size = 0;
  std::vector<char> bytes;
  const char *error = nullptr;
};

ExrChunkCopy::ExrChunkCopy(Imf::OStream &stream, const Imf::Header &header,
                           const std::vector<CopiedColour> &colours, int threads)
    : core_(std::make_unique<Core>()),
      width_(static_cast<std::size_t>(header.dataWindow().max.x - header.dataWindow().min.x + 1)),
      minY_(header.dataWindow().min.y), compression_(header.compression()),
      zipLevel_(header.zipCompressionLevel()), threads_(std::max(threads, 1)) {
  std::size_t offset = 0;
  for (auto it = header.channels().begin(); it != header.channels().end(); ++it) {
    for (const CopiedColour &c : colours) {
      if (c.name == it.name()) colours_.push_back({offset, it.channel().type, c.colour});
    }
    offset += width_ * sampleBytes(it.channel().type);
  }

  Core &core = *core_;
  core.out.stream = &stream;
  exr_context_initializer_t write = initializer(core.out);
  write.write_fn = writeBytes;
  check(exr_start_write(&core.context, "frame", EXR_WRITE_FILE_DIRECTLY, &write), core.out);
  // The core is told what it needs to lay the chunks out: the windows, the
  // line order, the compression and the channels.
  int part = 0;
  check(exr_add_part(core.context, nullptr, EXR_STORAGE_SCANLINE, &part), core.out);
  const auto boxOf = [](const Imath::Box2i &box) {
    exr_attr_box2i_t out{};
    out.min.x = box.min.x;
    out.min.y = box.min.y;
    out.max.x = box.max.x;
    out.max.y = box.max.y;
    return out;
  };
  const exr_attr_box2i_t dataBox = boxOf(header.dataWindow());
  const exr_attr_box2i_t displayBox = boxOf(header.displayWindow());
  exr_attr_v2f_t centre{};
  centre.x = header.screenWindowCenter().x;
  centre.y = header.screenWindowCenter().y;
  check(exr_initialize_required_attr(core.context, part, &displayBox, &dataBox,
                                     header.pixelAspectRatio(), &centre, header.screenWindowWidth(),
                                     static_cast<exr_lineorder_t>(header.lineOrder()),
                                     static_cast<exr_compression_t>(header.compression())),
        core.out);
  bool longNames = false;
  for (auto it = header.channels().begin(); it != header.channels().end(); ++it) {
    const Imf::Channel &c = it.channel();
    check(exr_add_channel(core.context, part, it.name(), static_cast<exr_pixel_type_t>(c.type),
                          c.pLinear ? EXR_PERCEPTUALLY_LINEAR : EXR_PERCEPTUALLY_LOGARITHMIC,
                          c.xSampling, c.ySampling),
          core.out);
    longNames = longNames || std::strlen(it.name()) > 31;
  }
  if (longNames) check(exr_set_longname_support(core.context, 1), core.out);
  check(exr_write_header(core.context), core.out);
  int32_t chunks = 0;
  check(exr_get_chunk_count(core.context, part, &chunks), core.out);
  core.out.inHeader = false;

  // The header as the library's writer writes it, with room for the
  // chunks' offsets, which the core fills in.
  HeaderBytes written;
  { Imf::OutputFile file(written, header, 1); }
  core.out.tableBytes = 8 * static_cast<uint64_t>(chunks);
  if (written.bytes.size() < core.out.tableBytes) {
    throw std::runtime_error("the header leaves no room for the chunks' offsets");
  }
  const uint64_t length = written.bytes.size() - core.out.tableBytes;
  core.out.shift = static_cast<int64_t>(core.out.coreHeaderEnd) - static_cast<int64_t>(length);
  writeAt(stream, 0, written.bytes.data(), length);
}

ExrChunkCopy::~ExrChunkCopy() = default;

void ExrChunkCopy::write(const ExrStrip &strip, const Frame &colour) {
  const std::vector<KeptChunk> &chunks = strip.chunks;
  const std::size_t count = chunks.size();
  if (packed_.size() < count) packed_.resize(count);
  const int poolThreads = std::max(1, IlmThread::ThreadPool::globalThreadPool().numThreads());
  const std::size_t tasks =
      std::min<std::size_t>(count, static_cast<std::size_t>(std::min(threads_, poolThreads)));
  if (scratch_.size() < tasks) scratch_.resize(tasks);
  {
    IlmThread::TaskGroup group; // waits for its tasks as it goes
    for (std::size_t t = 0; t < tasks; ++t) {
      addPoolTask(group, [&, t] {
        for (std::size_t i = t; i < count; i += tasks) {
          try {
            pack(chunks[i], strip, colour, packed_[i], scratch_[t]);
          } catch (const std::bad_alloc &) {
            packed_[i].error = "does not fit in memory";
          }
        }
      });
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    const Packed &out = packed_[i];
    if (out.error != nullptr) {
      throw std::runtime_error("the chunk at row " + std::to_string(chunks[i].y) + " " + out.error);
    }
    check(exr_write_scanline_chunk(core_->context, 0, chunks[i].y, out.data, out.size), core_->out);
    ++(out.copied ? copied_ : encoded_);
  }
}

void ExrChunkCopy::pack(const KeptChunk &chunk, const ExrStrip &strip, const Frame &colour,
                        Packed &out, std::vector<char> &scratch) const {
  out.error = nullptr;
  const std::size_t size = chunk.size;
  if (chunk.rows <= 0 || size % static_cast<std::size_t>(chunk.rows) != 0 ||
      (chunk.stored ? chunk.packed.size() : chunk.inflated.size()) < size) {
    out.error = "was not kept whole";
    return;
  }
  const std::size_t rowBytes = size / static_cast<std::size_t>(chunk.rows);
  // The rows as kept: plain, or in halves (byte 2k in the first, 2k + 1 in
  // the second).
  const bool halves = !chunk.stored;
  const std::size_t second = (size + 1) / 2;
  const auto at = [halves, second](std::size_t i) {
    return halves ? ((i & 1) != 0 ? second + i / 2 : i / 2) : i;
  };
  const auto *rows = reinterpret_cast<const unsigned char *>(chunk.stored ? chunk.packed.data()
                                                                          : chunk.inflated.data());
  const int firstRow = chunk.y - minY_ - strip.firstRow;
  // Calls put(byte, value) for every colour byte as it would be written,
  // until put returns false.
  const auto eachColourByte = [&](const auto &put) {
    unsigned char bytes[4];
    for (const ColourBytes &c : colours_) {
      const float *plane = colour.plane(HOST_BUF_RED + c.colour);
      for (int r = 0; r < chunk.rows; ++r) {
        const float *row =
            plane != nullptr ? plane + static_cast<std::size_t>(firstRow + r) * width_ : nullptr;
        const std::size_t start = static_cast<std::size_t>(r) * rowBytes + c.offset;
        for (std::size_t x = 0; x < width_; ++x) {
          const int n = sampleBytesOf(row != nullptr ? row[x] : 0.0f, c.type, bytes);
          for (int k = 0; k < n; ++k) {
            if (!put(start + x * static_cast<std::size_t>(n) + static_cast<std::size_t>(k),
                     bytes[k])) {
              return;
            }
          }
        }
      }
    }
  };
  bool changed = false;
  eachColourByte([&](std::size_t i, unsigned char v) {
    changed = rows[at(i)] != v;
    return !changed;
  });
  if (!changed) {
    // A chunk stored as it is may carry bytes past its rows; only the rows
    // go out.
    out.copied = true;
    out.data = chunk.packed.data();
    out.size = chunk.stored ? size : chunk.packed.size();
    return;
  }
  out.copied = false;
  if (compression_ == Imf::NO_COMPRESSION) {
    // The rows go out as they are, with the new colour in them.
    out.bytes.assign(rows, rows + size);
    auto *plain = reinterpret_cast<unsigned char *>(out.bytes.data());
    eachColourByte([plain](std::size_t i, unsigned char v) {
      plain[i] = v;
      return true;
    });
    out.data = out.bytes.data();
    out.size = size;
    return;
  }
  scratch.resize(size);
  auto *s = reinterpret_cast<unsigned char *>(scratch.data());
  // As the library packs a chunk: the rows in halves, each byte as its
  // difference from the one before plus 128, deflated; kept plain when that
  // is no smaller.
  if (halves) {
    std::memcpy(s, rows, size);
  } else {
    for (std::size_t i = 0; i < size; ++i) s[(i & 1) != 0 ? second + i / 2 : i / 2] = rows[i];
  }
  eachColourByte([&](std::size_t i, unsigned char v) {
    s[(i & 1) != 0 ? second + i / 2 : i / 2] = v;
    return true;
  });
  for (std::size_t i = size - 1; i > 0; --i) {
    s[i] = static_cast<unsigned char>(s[i] - s[i - 1] + 128);
  }
  uLongf length = static_cast<uLongf>(std::ceil(static_cast<double>(size) * 1.01)) + 100;
  out.bytes.resize(length);
  if (compress2(reinterpret_cast<Bytef *>(out.bytes.data()), &length, s, static_cast<uLong>(size),
                zipLevel_) != Z_OK) {
    out.error = "does not deflate";
    return;
  }
  out.data = out.bytes.data();
  out.size = length;
  if (length < size) return;
  for (std::size_t i = 1; i < size; ++i) s[i] = static_cast<unsigned char>(s[i - 1] + s[i] - 128);
  out.bytes.resize(size);
  for (std::size_t i = 0; i < size; ++i) {
    out.bytes[i] = static_cast<char>(s[(i & 1) != 0 ? second + i / 2 : i / 2]);
  }
  out.data = out.bytes.data();
  out.size = size;
}

void ExrChunkCopy::finish() { check(exr_finish(&core_->context), core_->out); }

} // namespace qx
