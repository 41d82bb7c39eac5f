// Scan-line chunks stored plain or deflated, read straight into planes.
#include "frames/exr_chunks.h"

#include <IlmThreadPool.h>
#include <ImfChannelList.h>
#include <ImfInputPart.h>
#include <ImfPartType.h>
#include <half.h>
#include <openexr.h>
#include <zlib.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>

namespace qx {
namespace {

// The file stores samples little-endian; they are copied as they are.
bool littleEndian() {
  const std::uint16_t one = 1;
  unsigned char first = 0;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

// Undoes the predictor of deflated chunks, which store each byte as its
// difference from the one before plus 128: a running sum, taken 16 bytes at
// a time where SSE2 is there.
void sumDifferences(unsigned char *d, std::size_t size) {
  std::size_t i = 1;
#ifdef __SSE2__
  if (size > 16) {
    const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
    unsigned char carry = d[0];
    for (; i + 16 <= size; i += 16) {
      __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i)), bias);
      x = _mm_add_epi8(x, _mm_slli_si128(x, 1));
      x = _mm_add_epi8(x, _mm_slli_si128(x, 2));
      x = _mm_add_epi8(x, _mm_slli_si128(x, 4));
      x = _mm_add_epi8(x, _mm_slli_si128(x, 8));
      x = _mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(carry)));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(d + i), x);
      carry = static_cast<unsigned char>(_mm_extract_epi16(x, 7) >> 8);
    }
  }
#endif
  for (; i < size; ++i) d[i] = static_cast<unsigned char>(d[i - 1] + d[i] - 128);
}

class Work : public IlmThread::Task {
public:
  Work(IlmThread::TaskGroup *group, std::function<void()> work)
      : IlmThread::Task(group), work_(std::move(work)) {}
  void execute() override { work_(); }

private:
  std::function<void()> work_;
};

} // namespace

void addPoolTask(IlmThread::TaskGroup &group, std::function<void()> work) {
  IlmThread::ThreadPool::addGlobalTask(new Work(&group, std::move(work)));
}

struct ChunkFile::Core {
  exr_context_t context = nullptr;
  std::string error; // the core's last complaint
  ~Core() {
    if (context != nullptr) exr_finish(&context);
  }
};

namespace {

void noteChunkFileError(exr_const_context_t context, exr_result_t, const char *message) {
  void *core = nullptr;
  exr_get_user_data(context, &core);
  static_cast<std::string *>(core)->assign(message != nullptr ? message : "");
}

} // namespace

ChunkFile::ChunkFile(const std::string &path, int part)
    : core_(std::make_unique<Core>()), part_(part) {
  exr_context_initializer_t init{};
  init.size = sizeof(init);
  init.zip_level = -2;
  init.dwa_quality = -1.0f;
  init.user_data = &core_->error;
  init.error_handler_fn = noteChunkFileError;
  init.flags = EXR_CONTEXT_FLAG_SILENT_HEADER_PARSE;
  if (exr_start_read(&core_->context, path.c_str(), &init) != EXR_ERR_SUCCESS) {
    throw std::runtime_error("its chunks cannot be read: " + core_->error);
  }
}

ChunkFile::~ChunkFile() = default;

void ChunkFile::fetch(int y, std::vector<char> &bytes) {
  exr_chunk_info_t info{};
  exr_result_t result = exr_read_scanline_chunk_info(core_->context, part_, y, &info);
  if (result == EXR_ERR_SUCCESS) {
    bytes.resize(static_cast<std::size_t>(info.packed_size));
    result = exr_read_chunk(core_->context, part_, &info, bytes.data());
  }
  if (result != EXR_ERR_SUCCESS) {
    throw std::runtime_error(
        "the chunk at row " + std::to_string(y) + " cannot be read: " +
        (core_->error.empty() ? exr_get_default_error_message(result) : core_->error));
  }
}

const char *ChunkReader::unsuited(const Imf::Header &header) {
  if (!littleEndian()) return "this machine stores numbers big end first";
  if (header.hasTileDescription()) return "the part is tiled";
  if (header.channels().begin() == header.channels().end()) return "the part has no channel";
  if (header.hasType() && header.type() != Imf::SCANLINEIMAGE) return "the part is deep";
  const Imf::Compression c = header.compression();
  if (c != Imf::NO_COMPRESSION && c != Imf::ZIPS_COMPRESSION && c != Imf::ZIP_COMPRESSION) {
    return "its compression is neither none, ZIPS nor ZIP";
  }
  for (auto it = header.channels().begin(); it != header.channels().end(); ++it) {
    if (it.channel().xSampling != 1 || it.channel().ySampling != 1) {
      return "it has subsampled channels";
    }
  }
  return nullptr;
}

ChunkReader::ChunkReader(const Imf::Header &header, int threads)
    : compression_(header.compression()),
      width_(static_cast<std::size_t>(header.dataWindow().max.x - header.dataWindow().min.x + 1)),
      maxY_(header.dataWindow().max.y), chunkRows_(compression_ == Imf::ZIP_COMPRESSION ? 16 : 1),
      threads_(std::max(threads, 1)) {
  for (auto it = header.channels().begin(); it != header.channels().end(); ++it) {
    types_.push_back(it.channel().type);
    rowBytes_ += width_ * sampleBytes(it.channel().type);
  }
}

void ChunkReader::read(Imf::InputPart &part, int y0, int y1,
                       const std::vector<ChunkTarget> &targets, std::vector<KeptChunk> *keep,
                       ChunkFile *file) {
  const std::size_t count = static_cast<std::size_t>((y1 - y0) / chunkRows_ + 1);
  const int threads =
      std::min(threads_, std::max(1, IlmThread::ThreadPool::globalThreadPool().numThreads()));
  const std::size_t tasks = std::min<std::size_t>(count, static_cast<std::size_t>(threads));
  if (keep != nullptr) {
    // Each kept chunk's room to inflate into is taken before the file is
    // read: a frame too large for the memory at hand fails at once, as the
    // plan says it would, whatever its chunks hold.
    keep->resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      const int rows = std::min(chunkRows_, maxY_ - (y0 + static_cast<int>(i) * chunkRows_) + 1);
      std::vector<char> &inflated = (*keep)[i].inflated;
      if (compression_ != Imf::NO_COMPRESSION &&
          inflated.size() < rowBytes_ * static_cast<std::size_t>(rows)) {
        inflated.resize(rowBytes_ * static_cast<std::size_t>(rows));
      }
    }
  } else if (packed_.size() < count) {
    packed_.resize(count);
  }
  if (inflated_.size() < tasks) inflated_.resize(tasks);
  // A kept chunk is fetched and inflated into buffers of its own.
  const auto packedOf = [&](std::size_t i) -> std::vector<char> & {
    return keep != nullptr ? (*keep)[i].packed : packed_[i];
  };
  std::vector<Chunk> chunks(count);
  {
    IlmThread::TaskGroup group; // waits for its tasks as it goes
    // The file is read in order, one chunk after the other. A kept chunk
    // has buffers of its own and is unpacked as soon as it is fetched;
    // else the chunks are unpacked side by side once all are fetched, each
    // task into a buffer of its own.
    for (std::size_t i = 0; i < count; ++i) {
      Chunk &chunk = chunks[i];
      chunk.y = y0 + static_cast<int>(i) * chunkRows_;
      chunk.rows = std::min(chunkRows_, maxY_ - chunk.y + 1);
      if (file != nullptr && keep != nullptr) {
        file->fetch(chunk.y, packedOf(i));
      } else {
        const char *data = nullptr;
        int size = 0;
        part.rawPixelData(chunk.y, data, size);
        packedOf(i).assign(data, data + std::max(size, 0));
      }
      if (keep != nullptr) {
        KeptChunk *kept = &(*keep)[i];
        addPoolTask(group, [&, i, kept] {
          unpack(chunks[i], kept->packed, kept->inflated, targets, y0, kept);
        });
      }
    }
    for (std::size_t t = 0; t < tasks && keep == nullptr; ++t) {
      addPoolTask(group, [&, t] {
        for (std::size_t i = t; i < count; i += tasks) {
          unpack(chunks[i], packed_[i], inflated_[t], targets, y0, nullptr);
        }
      });
    }
  }
  for (const Chunk &chunk : chunks) {
    if (chunk.error != nullptr) {
      throw std::runtime_error("the chunk at row " + std::to_string(chunk.y) + " " + chunk.error);
    }
  }
}

void ChunkReader::unpack(Chunk &chunk, const std::vector<char> &packed, std::vector<char> &inflated,
                         const std::vector<ChunkTarget> &targets, int y0, KeptChunk *kept) const {
  try {
    const std::size_t size = rowBytes_ * static_cast<std::size_t>(chunk.rows);
    if (kept != nullptr) {
      kept->y = chunk.y;
      kept->rows = chunk.rows;
      kept->size = size;
      kept->stored = packed.size() >= size;
    }
    // A chunk that packing would not have made smaller is stored as it is,
    // and may carry bytes past its rows (some writers pad the last, partial
    // chunk to a whole one): OpenEXR reads its rows and ignores the rest, and
    // so does this. A deflated one holds each byte as its difference from
    // the one before (plus 128), and byte 2k of the rows in its first half,
    // 2k + 1 in its second.
    const bool stored = packed.size() >= size;
    const unsigned char *even = reinterpret_cast<const unsigned char *>(packed.data());
    const unsigned char *odd = nullptr;
    if (!stored) {
      if (compression_ == Imf::NO_COMPRESSION) {
        chunk.error = "is shorter than its rows";
        return;
      }
      if (inflated.size() < size) inflated.resize(size);
      uLongf length = static_cast<uLongf>(size);
      if (uncompress(reinterpret_cast<Bytef *>(inflated.data()), &length,
                     reinterpret_cast<const Bytef *>(packed.data()),
                     static_cast<uLong>(packed.size())) != Z_OK ||
          length != size) {
        chunk.error = "does not inflate to its rows";
        return;
      }
      unsigned char *sums = reinterpret_cast<unsigned char *>(inflated.data());
      sumDifferences(sums, size);
      even = sums;
      odd = sums + (size + 1) / 2;
    }
    // Every channel's bytes in a row, and every row, start at an even byte.
    std::size_t at = 0; // the byte of the rows
    for (int r = 0; r < chunk.rows; ++r) {
      const std::size_t row = static_cast<std::size_t>(chunk.y - y0 + r);
      for (std::size_t c = 0; c < types_.size(); ++c) {
        const std::size_t bytes = width_ * sampleBytes(types_[c]);
        const ChunkTarget &target = targets[c];
        if (target.data != nullptr) {
          unsigned char *to = reinterpret_cast<unsigned char *>(target.data) +
                              row * width_ * sampleBytes(target.type);
          if (target.type != types_[c]) {
            // Half to float, the one conversion asked for.
            float *floats = reinterpret_cast<float *>(to);
            for (std::size_t x = 0; x < width_; ++x) {
              half h;
              h.setBits(
                  stored ? static_cast<std::uint16_t>(even[at + 2 * x] | even[at + 2 * x + 1] << 8)
                         : static_cast<std::uint16_t>(even[at / 2 + x] | odd[at / 2 + x] << 8));
              floats[x] = h;
            }
          } else if (stored) {
            std::memcpy(to, even + at, bytes);
          } else {
            const unsigned char *e = even + at / 2, *o = odd + at / 2;
            for (std::size_t k = 0; k < bytes / 2; ++k) {
              to[2 * k] = e[k];
              to[2 * k + 1] = o[k];
            }
          }
        }
        at += bytes;
      }
    }
  } catch (const std::bad_alloc &) {
    chunk.error = "does not fit in memory";
  }
}

} // namespace qx
