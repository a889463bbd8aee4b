#include "base/byte_ranges.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace tallyx {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// HTTP's token characters (RFC 9110 5.6.2): the names of headers, media types and
// parameters.
bool IsTokenChar(char c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (IsDigit(c)) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// Reads 1*DIGIT at `text`'s start into `value`; false on no digit or an overflow. Only
// ASCII digits: no sign, no blank, nothing strtoull would also take.
bool TakeNumber(std::string_view& text, uint64_t& value) {
  if (text.empty() || !IsDigit(text.front())) return false;
  value = 0;
  while (!text.empty() && IsDigit(text.front())) {
    const uint64_t digit = static_cast<uint64_t>(text.front() - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
    text.remove_prefix(1);
  }
  return true;
}

// RFC 2046's bchars: what a boundary may hold, 1 to 70 of them, the last no space.
bool IsValidBoundary(std::string_view boundary) {
  if (boundary.empty() || boundary.size() > 70 || boundary.back() == ' ') return false;
  for (const char c : boundary) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) ||
                         std::string_view("'()+_,-./:=? ").find(c) != std::string_view::npos;
    if (!allowed) return false;
  }
  return true;
}

// A Content-Type split into its media type and its boundary parameter. `valid` is false
// when the value does not parse at all; `boundary` is empty when there is none.
struct MediaType {
  bool valid = false;
  bool byteranges = false;
  bool boundaryValid = false;
  std::string boundary;
};

MediaType ParseMediaType(std::string_view value) {
  MediaType media;
  std::string_view rest = TrimBlanks(value);
  size_t at = 0;
  while (at < rest.size() && IsTokenChar(rest[at])) ++at;
  if (at == 0 || at == rest.size() || rest[at] != '/') return media;
  const std::string_view type = rest.substr(0, at);
  rest.remove_prefix(at + 1);
  at = 0;
  while (at < rest.size() && IsTokenChar(rest[at])) ++at;
  if (at == 0) return media;
  const std::string_view subtype = rest.substr(0, at);
  rest.remove_prefix(at);
  media.byteranges = EqualNoCase(type, "multipart") && EqualNoCase(subtype, "byteranges");
  int boundaries = 0;
  for (;;) {
    rest = TrimBlanks(rest);
    if (rest.empty()) break;
    if (rest.front() != ';') return media;
    rest = TrimBlanks(rest.substr(1));
    // Some servers end the list with a bare ";".
    if (rest.empty()) break;
    at = 0;
    while (at < rest.size() && IsTokenChar(rest[at])) ++at;
    if (at == 0 || at == rest.size() || rest[at] != '=') return media;
    const std::string_view name = rest.substr(0, at);
    rest.remove_prefix(at + 1);
    std::string parameter;
    if (!rest.empty() && rest.front() == '"') {
      // quoted-string: a backslash takes the next character as it is.
      size_t i = 1;
      for (;; ++i) {
        if (i >= rest.size()) return media;
        if (rest[i] == '"') break;
        if (rest[i] == '\\') {
          if (++i >= rest.size()) return media;
        }
        parameter += rest[i];
      }
      rest.remove_prefix(i + 1);
    } else {
      at = 0;
      while (at < rest.size() && rest[at] != ';' && !IsBlank(rest[at])) ++at;
      parameter.assign(rest.substr(0, at));
      rest.remove_prefix(at);
    }
    if (EqualNoCase(name, "boundary")) {
      ++boundaries;
      media.boundary = std::move(parameter);
    }
  }
  media.valid = true;
  // Two boundaries leave the body's framing in doubt: neither is taken.
  media.boundaryValid = boundaries == 1 && IsValidBoundary(media.boundary);
  return media;
}

// Bounds on what the reader keeps while looking for structure: the text before the
// first delimiter and one part's header block. Both are a few dozen bytes from any real
// server; a body that keeps them growing is not a byteranges answer.
constexpr size_t kPreambleLimit = 4096;
constexpr size_t kHeaderBlockLimit = 4096;
// Blanks a mail transport may add after a delimiter (RFC 2046's transport padding).
constexpr size_t kPaddingLimit = 64;
// What may follow the closing delimiter, which RFC 2046 lets a reader ignore (servers send
// a CRLF, or nothing): an answer that goes on past it is never read to its end.
constexpr size_t kEpilogueLimit = 4096;

}  // namespace

std::vector<ByteRange> MergeRanges(std::vector<ByteRange> ranges, size_t maxCount) {
  maxCount = std::max<size_t>(maxCount, 1);
  // A range whose end is not past its start holds nothing (and would wrap in Size()).
  std::erase_if(ranges, [](const ByteRange& r) { return r.end <= r.first; });
  std::sort(ranges.begin(), ranges.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
  std::vector<ByteRange> merged;
  for (const ByteRange& r : ranges) {
    if (!merged.empty() && r.first <= merged.back().end)
      merged.back().end = std::max(merged.back().end, r.end);
    else
      merged.push_back(r);
  }
  if (merged.size() <= maxCount) return merged;
  // Joining two neighbours leaves every other gap as it was, so the joins to make are
  // simply the smallest gaps; among equal gaps the leftmost go first.
  std::vector<size_t> gaps(merged.size() - 1);
  std::iota(gaps.begin(), gaps.end(), size_t{0});
  const auto gap = [&](size_t i) { return merged[i + 1].first - merged[i].end; };
  std::stable_sort(gaps.begin(), gaps.end(),
                   [&](size_t a, size_t b) { return gap(a) < gap(b); });
  std::vector<bool> joined(merged.size() - 1, false);
  for (size_t k = 0; k < merged.size() - maxCount; ++k) joined[gaps[k]] = true;
  std::vector<ByteRange> result;
  result.reserve(maxCount);
  for (size_t i = 0; i < merged.size(); ++i) {
    if (i > 0 && joined[i - 1])
      result.back().end = merged[i].end;
    else
      result.push_back(merged[i]);
  }
  return result;
}

std::vector<std::vector<ByteRange>> GroupRanges(const std::vector<ByteRange>& ranges,
                                                size_t perRequest) {
  perRequest = std::max<size_t>(perRequest, 1);
  std::vector<std::vector<ByteRange>> groups;
  for (size_t i = 0; i < ranges.size(); i += perRequest)
    groups.emplace_back(ranges.begin() + i,
                        ranges.begin() + std::min(ranges.size(), i + perRequest));
  return groups;
}

std::string RangeHeaderValue(const std::vector<ByteRange>& ranges) {
  std::string value;
  for (const ByteRange& r : ranges) {
    // An empty range has no last position to name.
    if (r.end <= r.first) continue;
    value += value.empty() ? "bytes=" : ",";
    value += std::to_string(r.first) + "-" + std::to_string(r.end - 1);
  }
  return value;
}

std::optional<ContentRange> ParseContentRange(std::string_view value) {
  std::string_view text = TrimBlanks(value);
  // The unit's name is case-insensitive; one space follows it.
  if (text.size() < 6 || !EqualNoCase(text.substr(0, 5), "bytes") || text[5] != ' ')
    return std::nullopt;
  text.remove_prefix(6);
  uint64_t first = 0, last = 0, complete = 0;
  if (!TakeNumber(text, first) || text.empty() || text.front() != '-') return std::nullopt;
  text.remove_prefix(1);
  if (!TakeNumber(text, last) || text.empty() || text.front() != '/') return std::nullopt;
  text.remove_prefix(1);
  if (!TakeNumber(text, complete) || !text.empty()) return std::nullopt;
  // last < complete also keeps last + 1 from wrapping.
  if (last < first || last >= complete) return std::nullopt;
  return ContentRange{ByteRange{first, last + 1}, complete};
}

std::optional<std::string> MultipartBoundary(std::string_view contentType) {
  MediaType media = ParseMediaType(contentType);
  if (!media.valid || !media.byteranges || !media.boundaryValid) return std::nullopt;
  return std::move(media.boundary);
}

// The reader's parsing state. The body is taken apart as it comes: part data goes to
// the sink in the pieces it arrived in, and only the structure around it (the preamble,
// a delimiter line, one part's headers) is held, each within its bound.
struct RangeAnswerReader::State {
  enum class Step {
    Malformed,
    Preamble,    // before the first delimiter
    AfterDelimiter,  // "--boundary" seen: "--" closes, padding and CRLF open a part
    Headers,     // a part's header lines
    Data,        // `remaining` bytes of the current part
    Delimiter,   // CRLF "--boundary" must follow the data, byte for byte
    Closed,      // after the closing delimiter: the epilogue is ignored
    Single,      // a single-part body: `remaining` bytes
    SingleDone,  // nothing may follow
  };

  Step step = Step::Malformed;
  std::vector<ByteRange> requested;
  uint64_t complete = 0;
  RangeSink sink;
  std::string delimiter;  // CRLF "--" boundary
  std::string held;       // preamble, delimiter line or header line so far
  size_t headerBytes = 0;
  size_t matched = 0;     // of `delimiter`, in Step::Delimiter
  size_t epilogue = 0;    // bytes after the closing delimiter
  bool seenRange = false;
  ByteRange part;         // the part being read
  uint64_t position = 0;  // in the resource, of the next data byte
  uint64_t remaining = 0;

  // A part must lie inside one requested range and may not cover bytes an earlier part
  // gave: overlapping parts would hand the sink the same bytes twice and are no answer
  // to ranges that were merged before they were asked for.
  bool Acceptable(const ContentRange& range, const std::vector<ByteRange>& received) const {
    if (range.complete != complete) return false;
    const bool inside = std::any_of(requested.begin(), requested.end(), [&](const ByteRange& r) {
      return r.first <= range.range.first && range.range.end <= r.end;
    });
    if (!inside) return false;
    return std::none_of(received.begin(), received.end(), [&](const ByteRange& r) {
      return r.first < range.range.end && range.range.first < r.end;
    });
  }

  // One header line of a part, without its CRLF.
  bool HeaderLine(std::string_view line, const std::vector<ByteRange>& received) {
    // A folded line (starting with a blank) is obsolete HTTP and not worth guessing at.
    size_t colon = 0;
    while (colon < line.size() && IsTokenChar(line[colon])) ++colon;
    if (colon == 0 || colon == line.size() || line[colon] != ':') return false;
    if (!EqualNoCase(line.substr(0, colon), "Content-Range")) return true;
    if (seenRange) return false;
    seenRange = true;
    const std::optional<ContentRange> range = ParseContentRange(line.substr(colon + 1));
    if (!range || !Acceptable(*range, received)) return false;
    part = range->range;
    return true;
  }

  bool Deliver(const char* data, size_t size) {
    if (size == 0) return true;
    if (!sink(position, data, size)) return false;
    position += size;
    remaining -= size;
    return true;
  }

  // Takes what it can of `data` and says how much; `step` is Malformed on an error.
  size_t Take(const char* data, size_t size, std::vector<ByteRange>& received) {
    switch (step) {
      case Step::Malformed:
        return size;
      case Step::Single:
      case Step::Data: {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(remaining, size));
        if (!Deliver(data, count)) {
          step = Step::Malformed;
          return size;
        }
        if (remaining == 0) {
          if (step == Step::Single) {
            received.push_back(part);
            step = Step::SingleDone;
          } else {
            step = Step::Delimiter;
            matched = 0;
          }
        }
        return count;
      }
      case Step::SingleDone:
        // More than the Content-Range promised.
        step = Step::Malformed;
        return size;
      case Step::Closed:
        epilogue += size;
        if (epilogue > kEpilogueLimit) step = Step::Malformed;
        return size;
      default:
        break;
    }
    // The framing, a byte at a time.
    const char c = data[0];
    switch (step) {
      case Step::Preamble: {
        held += c;
        // The first delimiter may open the body without its CRLF.
        const std::string_view dashBoundary = std::string_view(delimiter).substr(2);
        if (held == dashBoundary || held.ends_with(delimiter)) {
          held.clear();
          step = Step::AfterDelimiter;
        } else if (held.size() > kPreambleLimit) {
          step = Step::Malformed;
        }
        break;
      }
      case Step::Delimiter:
        if (c != delimiter[matched]) {
          // Data longer than its Content-Range said, or the framing broken.
          step = Step::Malformed;
        } else if (++matched == delimiter.size()) {
          received.push_back(part);
          held.clear();
          step = Step::AfterDelimiter;
        }
        break;
      case Step::AfterDelimiter: {
        const bool sawCr = held.find('\r') != std::string::npos;
        held += c;
        if (held == "-") break;
        if (held == "--") {
          // A multipart body has at least one part.
          step = received.empty() ? Step::Malformed : Step::Closed;
        } else if (held.front() == '-') {
          step = Step::Malformed;
        } else if ((IsBlank(c) || c == '\r') && !sawCr && held.size() <= kPaddingLimit) {
        } else if (c == '\n' && sawCr) {
          held.clear();
          headerBytes = 0;
          seenRange = false;
          step = Step::Headers;
        } else {
          step = Step::Malformed;
        }
        break;
      }
      case Step::Headers: {
        if (++headerBytes > kHeaderBlockLimit) {
          step = Step::Malformed;
          break;
        }
        if (!held.empty() && held.back() == '\r') {
          if (c != '\n') {
            step = Step::Malformed;
            break;
          }
          held.pop_back();
          if (held.empty()) {
            // The blank line: the data follows.
            if (!seenRange) {
              step = Step::Malformed;
              break;
            }
            position = part.first;
            remaining = part.Size();
            step = Step::Data;
          } else if (!HeaderLine(held, received)) {
            step = Step::Malformed;
          }
          held.clear();
          break;
        }
        // Control characters (a bare LF among them) have no place in a header line.
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\r' && c != '\t') || c == 0x7F) {
          step = Step::Malformed;
          break;
        }
        held += c;
        break;
      }
      default:
        step = Step::Malformed;
        break;
    }
    return 1;
  }
};

RangeAnswerReader::RangeAnswerReader(std::string_view contentType,
                                     std::string_view contentRange,
                                     std::vector<ByteRange> requested, uint64_t complete,
                                     RangeSink sink)
    : state_(std::make_shared<State>()) {
  State& s = *state_;
  s.requested = std::move(requested);
  s.complete = complete;
  s.sink = std::move(sink);
  const MediaType media = ParseMediaType(contentType);
  if (media.valid && media.byteranges) {
    // A multipart type without a usable boundary is malformed, never read as a single
    // part: its framing would go to the sink as data. A Content-Range beside it has no
    // meaning (RFC 7233 forbids it there) and is not looked at.
    if (!media.boundaryValid) return;
    s.delimiter = "\r\n--" + media.boundary;
    s.step = State::Step::Preamble;
    return;
  }
  const std::optional<ContentRange> range = ParseContentRange(contentRange);
  if (!range || !s.Acceptable(*range, received_)) return;
  s.part = range->range;
  s.position = s.part.first;
  s.remaining = s.part.Size();
  s.step = State::Step::Single;
}

bool RangeAnswerReader::Feed(const char* data, size_t size) {
  State& s = *state_;
  while (size > 0 && s.step != State::Step::Malformed) {
    const size_t taken = s.Take(data, size, received_);
    data += taken;
    size -= taken;
  }
  return s.step != State::Step::Malformed;
}

bool RangeAnswerReader::Finish() {
  return state_->step == State::Step::Closed || state_->step == State::Step::SingleDone;
}

}  // namespace tallyx
