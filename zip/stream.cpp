#include "zip/stream.h"

#include <algorithm>
#include <cstring>

#include "base/errors.h"

namespace tallyx {

void TStream::ReadBuffer(void* buffer, size_t count) {
  if (Read(buffer, count) != count) throw EReadError(u"Stream read error");
}

size_t TMemoryStream::Read(void* buffer, size_t count) {
  const int64_t size = Size();
  if (position_ >= size) return 0;
  const size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), size - position_));
  std::memcpy(buffer, bytes_.data() + position_, n);
  position_ += static_cast<int64_t>(n);
  return n;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  position_ = SeekTarget(offset, origin, position_, Size());
  return position_;
}

}  // namespace tallyx
