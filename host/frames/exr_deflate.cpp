// OpenEXR's deflate work (ZIP and PXR24 chunks), done by libdeflate.
//
// This OpenEXR compresses and decompresses every ZIP (and PXR24) chunk
// through zlib's one-shot calls, compress2, compress and uncompress. qxhost
// defines those three functions itself: the dynamic linker then binds the
// library's calls to them, and they produce and read the very same zlib
// streams through libdeflate, which compresses in about half zlib's CPU
// time (the 19 channels of a full-HD frame: 1.7 s against 3.6 s). Any file
// either writes, the other reads.
//
// Linked into the qxhost program only (an object library, see
// host/CMakeLists.txt), so the test programs and tools keep the system's
// zlib and read what qxhost writes with it.
#include <dlfcn.h>
#include <libdeflate.h>
#include <zlib.h>

#include <memory>

namespace {

struct CompressorFree {
  void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};
struct DecompressorFree {
  void operator()(libdeflate_decompressor *d) const { libdeflate_free_decompressor(d); }
};

// One compressor per level and thread: OpenEXR calls from its pool threads.
libdeflate_compressor *compressorFor(int level) {
  thread_local std::unique_ptr<libdeflate_compressor, CompressorFree> compressors[10];
  std::unique_ptr<libdeflate_compressor, CompressorFree> &c = compressors[level];
  if (!c) c.reset(libdeflate_alloc_compressor(level));
  return c.get();
}

libdeflate_decompressor *decompressor() {
  thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> d;
  if (!d) d.reset(libdeflate_alloc_decompressor());
  return d.get();
}

using Compress2 = int (*)(Bytef *, uLongf *, const Bytef *, uLong, int);

// zlib's own compress2, for the rare stream libdeflate cannot fit where zlib
// might: the caller's room is sized by zlib's bound, not libdeflate's.
int zlibCompress2(Bytef *dest, uLongf *destLen, const Bytef *source, uLong sourceLen, int level) {
  static const Compress2 next = reinterpret_cast<Compress2>(dlsym(RTLD_NEXT, "compress2"));
  return next != nullptr ? next(dest, destLen, source, sourceLen, level) : Z_BUF_ERROR;
}

} // namespace

extern "C" {

int compress2(Bytef *dest, uLongf *destLen, const Bytef *source, uLong sourceLen, int level) {
  if (level == Z_DEFAULT_COMPRESSION) level = 6;
  if (level < 0 || level > 9) return Z_STREAM_ERROR;
  libdeflate_compressor *c = compressorFor(level);
  if (c == nullptr) return Z_MEM_ERROR;
  const std::size_t written = libdeflate_zlib_compress(c, source, sourceLen, dest, *destLen);
  if (written == 0) return zlibCompress2(dest, destLen, source, sourceLen, level);
  *destLen = static_cast<uLongf>(written);
  return Z_OK;
}

int compress(Bytef *dest, uLongf *destLen, const Bytef *source, uLong sourceLen) {
  return compress2(dest, destLen, source, sourceLen, Z_DEFAULT_COMPRESSION);
}

int uncompress(Bytef *dest, uLongf *destLen, const Bytef *source, uLong sourceLen) {
  libdeflate_decompressor *d = decompressor();
  if (d == nullptr) return Z_MEM_ERROR;
  std::size_t produced = 0;
  switch (libdeflate_zlib_decompress(d, source, sourceLen, dest, *destLen, &produced)) {
  case LIBDEFLATE_SUCCESS:
    *destLen = static_cast<uLongf>(produced);
    return Z_OK;
  case LIBDEFLATE_INSUFFICIENT_SPACE:
    return Z_BUF_ERROR;
  default:
    return Z_DATA_ERROR;
  }
}

} // extern "C"
