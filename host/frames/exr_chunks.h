// The chunks of a scan-line part, read straight into planes. The library's
// own reader copies every sample through a call of its own, which for a
// frame of many channels cost as much as inflating it; a part whose chunks
// are stored plain or deflated (no, ZIPS or ZIP compression) is read here
// instead: each chunk fetched through the library, then inflated and copied
// a row of a channel at a time on the library's thread pool.
#pragma once

#include <IlmThreadPool.h>
#include <ImfForward.h>
#include <ImfHeader.h>
#include <ImfPixelType.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qx {

// The bytes one sample of that type takes in a file.
inline std::size_t sampleBytes(Imf::PixelType type) { return type == Imf::HALF ? 2 : 4; }

// Runs `work` on OpenEXR's thread pool, as a task of `group`, which waits
// for its tasks when it goes.
void addPoolTask(IlmThread::TaskGroup &group, std::function<void()> work);

// Where one channel of the part goes: rows of the part's width, the first
// the first row read, in `type` (a half channel may go to float; any other
// channel only to its own type). No data: the channel is skipped.
struct ChunkTarget {
  char *data = nullptr;
  Imf::PixelType type = Imf::FLOAT;
};

// A chunk of a part as it was read, kept for a writer that copies the chunks
// the filter leaves alone (exr_copy.h).
struct KeptChunk {
  int y = 0, rows = 0;
  std::size_t size = 0;     // the bytes of its rows, every channel's
  std::vector<char> packed; // as the file stores it
  // Stored packed (plain, or a deflated part's chunk that packing would not
  // have made smaller): its rows are the first `size` bytes of `packed`.
  // Else the first `size` bytes here are its rows inflated with the
  // predictor undone, still in halves: byte 2k of the rows in the first,
  // 2k + 1 in the second.
  bool stored = true;
  std::vector<char> inflated;
};

// One part of a file whose chunks are fetched by the library's core
// straight into the caller's buffers: the library's own reader hands each
// chunk over in a line buffer of its own, to be copied out again.
class ChunkFile {
public:
  // Throws std::runtime_error when the core cannot open the file.
  ChunkFile(const std::string &path, int part);
  ~ChunkFile();
  ChunkFile(const ChunkFile &) = delete;
  ChunkFile &operator=(const ChunkFile &) = delete;
  // The chunk whose first row is y, as stored, into `bytes`. Throws
  // std::runtime_error when it cannot be read.
  void fetch(int y, std::vector<char> &bytes);

private:
  struct Core;
  std::unique_ptr<Core> core_;
  int part_;
};

class ChunkReader {
public:
  // Whether a part with that header can be read so: flat scan lines of at
  // least one channel, compressed by none, ZIPS or ZIP, every channel full
  // resolution.
  static bool suits(const Imf::Header &header) { return unsuited(header) == nullptr; }
  // Why a part with that header cannot ("the part is tiled", ...), or null
  // when it can.
  static const char *unsuited(const Imf::Header &header);
  // `threads`: the most chunks inflated at once, each into a buffer of its
  // own (the library's pool may have more).
  ChunkReader(const Imf::Header &header, int threads);

  // The rows of one chunk; every read starts at a chunk's first row.
  int chunkRows() const { return chunkRows_; }
  // Reads rows y0 to y1 of the data window (in file coordinates; y0 starts
  // a chunk, y1 ends one or the window) into `targets`, one for each
  // channel of the part in the part's order. With `keep`, every chunk read
  // is kept there too, one entry a chunk, fetched through `file` when there
  // is one. Throws the library's exceptions or std::runtime_error when a
  // chunk is damaged.
  void read(Imf::InputPart &part, int y0, int y1, const std::vector<ChunkTarget> &targets,
            std::vector<KeptChunk> *keep = nullptr, ChunkFile *file = nullptr);

private:
  struct Chunk {
    int y = 0, rows = 0;
    const char *error = nullptr;
  };
  void unpack(Chunk &chunk, const std::vector<char> &packed, std::vector<char> &inflated,
              const std::vector<ChunkTarget> &targets, int y0, KeptChunk *kept) const;

  Imf::Compression compression_;
  std::size_t width_; // of the data window
  int maxY_;          // its last row
  int chunkRows_;
  std::vector<Imf::PixelType> types_; // every channel's, in the part's order
  std::size_t rowBytes_ = 0;          // one row of every channel
  int threads_ = 1;
  // Kept from one read to the next: each chunk's bytes as stored, and one
  // buffer to inflate into for each task.
  std::vector<std::vector<char>> packed_, inflated_;
};

} // namespace qx
