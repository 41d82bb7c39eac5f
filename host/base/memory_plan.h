// The memory a frame takes, bounded by bytes (--max-memory): the strips and
// colours a render holds in flight, and how the rows of a strip and the
// decoding threads are chosen so that a frame of many channels fits, worked
// out from the header before anything is allocated. What each reader and
// writer holds is counted where it is made (exr_input.cpp, frame_input.cpp);
// this file holds the sums they share.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace qx {

// The memory a run may take for its frames unless --max-memory says
// otherwise: 2 GiB.
constexpr std::uint64_t kDefaultMaxMemory = std::uint64_t{2} << 30;

// Strips and colours in flight in a render: enough for one in each stage
// (reading, filtering, writing) and one waiting, so that no stage waits for
// memory while another is busy.
constexpr int kStripsInFlight = 4;
constexpr int kColoursInFlight = 3;
// The rows of a strip when memory allows.
constexpr int kDefaultStripRows = 64;

// "2147483648", "512M", "2G", "2GiB", "64KiB" (K, M, G, T: powers of 1024,
// with or without "iB" or "B"). Throws Error naming `option` for anything
// else, for 0 and for more than 2^64 - 1.
std::uint64_t parseByteSize(const std::string &text, const std::string &option);
// A size for messages: "512 MiB", "7.3 GiB", "900 bytes".
std::string byteText(std::uint64_t bytes);

// The rows of each strip and the threads that decode and encode a frame.
struct MemoryPlan {
  int rows = 0;
  int threads = 1;
  std::uint64_t bytes = 0; // what the frame takes so
  bool fits = false;
};

// Chooses rows and threads for a frame whose memory is cost(rows, threads):
// `rows` and `threads` when they fit within `maxBytes`, else smaller strips
// (halved, in multiples of `minRows`, down to `minRows`), then fewer
// threads (halved, down to 1). Not `fits` when even one chunk's rows on one
// thread are more; `bytes` is then what they take.
MemoryPlan planMemory(std::uint64_t maxBytes, int rows, int minRows, int threads,
                      const std::function<std::uint64_t(int rows, int threads)> &cost);

// The Error text for a frame that cannot be read within `maxBytes`:
// "NAME: reading the frame would take 7.3 GiB, more than the 2 GiB allowed
// (--max-memory)", `what` saying why.
std::string memoryRefusal(const std::string &name, std::uint64_t bytes, std::uint64_t maxBytes,
                          const std::string &what);

} // namespace qx
