#include <zlib.h>

#include <algorithm>

#include "base/errors.h"
#include "zip/zip_file.h"

namespace tallyx {

namespace {

[[noreturn]] void RaiseZlibError(int code) {
  switch (code) {
    case Z_ERRNO: throw EZDecompressionError(u"file error");
    case Z_STREAM_ERROR: throw EZDecompressionError(u"stream error");
    case Z_DATA_ERROR: throw EZDecompressionError(u"data error");
    case Z_MEM_ERROR: throw EZDecompressionError(u"insufficient memory");
    case Z_VERSION_ERROR: throw EZDecompressionError(u"incompatible version");
    default: throw EZDecompressionError(u"buffer error");
  }
}

}  // namespace

TZDecompressionStream::TZDecompressionStream(TStream& source)
    : source_(source),
      sourcePosition_(source.Position()),
      input_(new unsigned char[kInputBufferSize]),
      zstream_(new z_stream{}) {
  const int result = inflateInit2(zstream_.get(), -15);
  if (result != Z_OK) RaiseZlibError(result);
}

TZDecompressionStream::~TZDecompressionStream() { inflateEnd(zstream_.get()); }

size_t TZDecompressionStream::Read(void* buffer, size_t count) {
  z_stream& z = *zstream_;
  // The archive stream is shared with the archive object: go back to where this stream
  // left it.
  if (source_.Position() != sourcePosition_) source_.Seek(sourcePosition_, TSeekOrigin::soBeginning);
  z.next_out = static_cast<Bytef*>(buffer);
  size_t room = count;
  while (room > 0 && !ended_) {
    if (z.avail_in == 0) {
      const size_t got = source_.Read(input_.get(), kInputBufferSize);
      if (got == 0) break;
      sourcePosition_ = source_.Position();
      z.next_in = input_.get();
      z.avail_in = static_cast<uInt>(got);
    }
    // avail_out is 32-bit: feed very large requests in slices.
    const uInt slice = static_cast<uInt>(std::min<size_t>(room, 1u << 30));
    z.avail_out = slice;
    const int result = inflate(&z, Z_NO_FLUSH);
    room -= slice - z.avail_out;
    if (result == Z_STREAM_END) {
      ended_ = true;
    } else if (result < 0 && result != Z_BUF_ERROR) {
      RaiseZlibError(result);
    } else if (result == Z_BUF_ERROR && z.avail_in > 0) {
      break;  // no progress possible; never spin
    }
  }
  if (ended_ && z.avail_in > 0) {
    // Input read ahead past the end of the deflate data belongs to whatever follows.
    sourcePosition_ = source_.Seek(-static_cast<int64_t>(z.avail_in), TSeekOrigin::soCurrent);
    z.avail_in = 0;
  }
  const size_t produced = count - room;
  produced_ += static_cast<int64_t>(produced);
  return produced;
}

int64_t TZDecompressionStream::Seek(int64_t offset, TSeekOrigin origin) {
  if (offset == 0 && origin == TSeekOrigin::soCurrent) return produced_;
  throw EZDecompressionError(u"Invalid operation");
}

int64_t TZDecompressionStream::Size() { throw EZDecompressionError(u"Invalid operation"); }

}  // namespace tallyx
