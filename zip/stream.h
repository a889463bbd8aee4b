#pragma once
// The narrow stream interface the archive reader works on: the archive file, memory
// buffers in tests, and the entry data streams the reader hands out.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tallyx {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// The position a seek lands on; never before the start.
inline int64_t SeekTarget(int64_t offset, TSeekOrigin origin, int64_t position, int64_t size) {
  const int64_t base = origin == TSeekOrigin::soBeginning ? 0
                       : origin == TSeekOrigin::soCurrent ? position
                                                          : size;
  return base + offset < 0 ? 0 : base + offset;
}

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to `count` bytes; fewer only at the end of the data.
  virtual size_t Read(void* buffer, size_t count) = 0;
  // Moves the position and returns the new one.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size() = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  // Reads exactly `count` bytes or raises EReadError "Stream read error".
  void ReadBuffer(void* buffer, size_t count);
};

// A read-only view of bytes owned by someone else.
class TMemoryStream : public TStream {
 public:
  explicit TMemoryStream(std::string_view bytes) : bytes_(bytes) {}
  size_t Read(void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }

 private:
  std::string_view bytes_;
  int64_t position_ = 0;
};

}  // namespace tallyx
