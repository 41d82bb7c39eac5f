// Scan-line chunks stored plain or deflated, read straight into planes.
#include "exr_chunks.h"

#include <IlmThreadPool.h>
#include <ImfChannelList.h>
#include <ImfInputPart.h>
#include <ImfPartType.h>
#include <half.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>

namespace qx {
namespace {

std::size_t sampleBytes(Imf::PixelType type) { return type == Imf::HALF ? 2 : 4; }

// The file stores samples little-endian; they are copied as they are.
bool littleEndian() {
  const std::uint16_t one = 1;
  unsigned char first = 0;
  std::memcpy(&first, &one, 1);
  return first == 1;
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

bool ChunkReader::suits(const Imf::Header &header) {
  if (!littleEndian() || header.hasTileDescription()) return false;
  if (header.hasType() && header.type() != Imf::SCANLINEIMAGE) return false;
  const Imf::Compression c = header.compression();
  if (c != Imf::NO_COMPRESSION && c != Imf::ZIPS_COMPRESSION && c != Imf::ZIP_COMPRESSION) {
    return false;
  }
  for (auto it = header.channels().begin(); it != header.channels().end(); ++it) {
    if (it.channel().xSampling != 1 || it.channel().ySampling != 1) return false;
  }
  return true;
}

ChunkReader::ChunkReader(const Imf::Header &header)
    : compression_(header.compression()), minX_(header.dataWindow().min.x),
      maxX_(header.dataWindow().max.x), minY_(header.dataWindow().min.y),
      maxY_(header.dataWindow().max.y), chunkRows_(compression_ == Imf::ZIP_COMPRESSION ? 16 : 1) {
  const std::size_t width = static_cast<std::size_t>(maxX_ - minX_ + 1);
  for (auto it = header.channels().begin(); it != header.channels().end(); ++it) {
    types_.push_back(it.channel().type);
    rowBytes_ += width * sampleBytes(it.channel().type);
  }
}

void ChunkReader::read(Imf::InputPart &part, int y0, int y1,
                       const std::vector<ChunkTarget> &targets) {
  const std::size_t count = static_cast<std::size_t>((y1 - y0) / chunkRows_ + 1);
  if (chunks_.size() < count) chunks_.resize(count);
  // The file is read in order, one chunk after the other; the chunks are
  // then unpacked side by side.
  for (std::size_t i = 0; i < count; ++i) {
    Chunk &chunk = chunks_[i];
    chunk.y = y0 + static_cast<int>(i) * chunkRows_;
    chunk.rows = std::min(chunkRows_, maxY_ - chunk.y + 1);
    chunk.error = nullptr;
    const char *data = nullptr;
    int size = 0;
    part.rawPixelData(chunk.y, data, size);
    chunk.packed.assign(data, data + std::max(size, 0));
  }
  {
    const int threads = std::max(1, IlmThread::ThreadPool::globalThreadPool().numThreads());
    const std::size_t tasks = std::min<std::size_t>(count, static_cast<std::size_t>(threads) * 2);
    IlmThread::TaskGroup group; // waits for its tasks as it goes
    for (std::size_t t = 0; t < tasks; ++t) {
      IlmThread::ThreadPool::addGlobalTask(new Work(&group, [&, t] {
        for (std::size_t i = t; i < count; i += tasks) unpack(chunks_[i], targets, y0);
      }));
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (chunks_[i].error != nullptr) {
      throw std::runtime_error("the chunk at row " + std::to_string(chunks_[i].y) + " " +
                               chunks_[i].error);
    }
  }
}

void ChunkReader::unpack(Chunk &chunk, const std::vector<ChunkTarget> &targets, int y0) const {
  try {
    const std::size_t size = rowBytes_ * static_cast<std::size_t>(chunk.rows);
    const char *plain = chunk.packed.data();
    // A chunk that packing would not have made smaller is stored as it is.
    if (chunk.packed.size() != size) {
      if (compression_ == Imf::NO_COMPRESSION || chunk.packed.size() > size) {
        chunk.error = "is not the size of its rows";
        return;
      }
      chunk.spread.resize(size);
      uLongf inflated = static_cast<uLongf>(size);
      if (uncompress(reinterpret_cast<Bytef *>(chunk.spread.data()), &inflated,
                     reinterpret_cast<const Bytef *>(chunk.packed.data()),
                     static_cast<uLong>(chunk.packed.size())) != Z_OK ||
          inflated != size) {
        chunk.error = "does not inflate to its rows";
        return;
      }
      // Deflated chunks hold each byte as its difference from the one before
      // (plus 128), the even bytes first and the odd ones after.
      unsigned char *d = reinterpret_cast<unsigned char *>(chunk.spread.data());
      for (std::size_t i = 1; i < size; ++i) {
        d[i] = static_cast<unsigned char>(d[i - 1] + d[i] - 128);
      }
      chunk.plain.resize(size);
      const char *even = chunk.spread.data(), *odd = even + (size + 1) / 2;
      char *out = chunk.plain.data();
      for (std::size_t i = 0; i + 1 < size; i += 2) {
        out[i] = *even++;
        out[i + 1] = *odd++;
      }
      if (size % 2 == 1) out[size - 1] = *even;
      plain = chunk.plain.data();
    }
    const std::size_t width = static_cast<std::size_t>(maxX_ - minX_ + 1);
    for (int r = 0; r < chunk.rows; ++r) {
      const std::size_t row = static_cast<std::size_t>(chunk.y - y0 + r);
      for (std::size_t c = 0; c < types_.size(); ++c) {
        const std::size_t bytes = width * sampleBytes(types_[c]);
        const ChunkTarget &target = targets[c];
        if (target.data != nullptr) {
          char *to = target.data + row * width * sampleBytes(target.type);
          if (target.type == types_[c]) {
            std::memcpy(to, plain, bytes);
          } else {
            // Half to float, the one conversion asked for.
            float *floats = reinterpret_cast<float *>(to);
            for (std::size_t x = 0; x < width; ++x) {
              std::uint16_t bits;
              std::memcpy(&bits, plain + 2 * x, 2);
              half h;
              h.setBits(bits);
              floats[x] = h;
            }
          }
        }
        plain += bytes;
      }
    }
  } catch (const std::bad_alloc &) {
    chunk.error = "does not fit in memory";
  }
}

} // namespace qx
