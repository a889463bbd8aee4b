#pragma once
// HTTP byte ranges as the installation from changed entries asks for them: which ranges a
// request names, and how an answer's parts are read back (a single part described by its
// Content-Range, or a multipart/byteranges body), whatever order the server sends them in.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyx {

// The bytes [first, end) of a resource.
struct ByteRange {
  uint64_t first = 0;
  uint64_t end = 0;
  uint64_t Size() const { return end - first; }
  bool operator==(const ByteRange&) const = default;
};

// Sorts `ranges`, joins those that overlap or touch, then joins the two neighbours with
// the smallest gap between them until at most `maxCount` ranges remain (maxCount >= 1).
// Empty ranges are dropped.
std::vector<ByteRange> MergeRanges(std::vector<ByteRange> ranges, size_t maxCount);

// Splits merged ranges into requests of at most `perRequest` ranges each, in order.
std::vector<std::vector<ByteRange>> GroupRanges(const std::vector<ByteRange>& ranges,
                                                size_t perRequest);

// The value of a Range header for `ranges`: "bytes=0-99,200-299" (last positions inclusive).
std::string RangeHeaderValue(const std::vector<ByteRange>& ranges);

// A Content-Range value "bytes <first>-<last>/<complete>": the range and the complete
// length; nothing for any other form ("bytes */1000", "bytes 0-9/*", blanks inside
// numbers, last before first, last at or past complete).
struct ContentRange {
  ByteRange range;
  uint64_t complete = 0;
};
std::optional<ContentRange> ParseContentRange(std::string_view value);

// The boundary of a "multipart/byteranges; boundary=..." Content-Type (quoted or not, the
// media type in any case); nothing for another type or a missing or invalid boundary.
std::optional<std::string> MultipartBoundary(std::string_view contentType);

// Where the pieces of an answer go: `offset` in the resource, then the bytes. Returning
// false stops the reading as malformed.
using RangeSink = std::function<bool(uint64_t offset, const char* data, size_t size)>;

// Reads a 206 answer's body fed in blocks of any size. Every part must lie inside one of
// `requested` and carry `complete` as its complete length; a multipart body must have
// its parts' data exactly as long as their Content-Range says, each followed by the
// delimiter, and end with the closing delimiter. Anything else is malformed: Feed returns
// false from then on.
class RangeAnswerReader {
 public:
  // `contentType` and `contentRange`: the answer's headers (either may be empty).
  // Malformed at once when neither describes the body.
  RangeAnswerReader(std::string_view contentType, std::string_view contentRange,
                    std::vector<ByteRange> requested, uint64_t complete, RangeSink sink);
  bool Feed(const char* data, size_t size);
  // True when the body ended where its description says it ends.
  bool Finish();
  // The ranges received so far, in the order they came. A multipart part counts once the
  // delimiter after its data has come, which is what vouches for its length; the sink
  // has its bytes earlier, as they arrive, so after a failed Feed or Finish the bytes of
  // a part missing here are not to be trusted.
  const std::vector<ByteRange>& Received() const { return received_; }

 private:
  struct State;
  std::vector<ByteRange> received_;
  std::shared_ptr<State> state_;
};

}  // namespace tallyx
