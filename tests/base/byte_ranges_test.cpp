#include "base/byte_ranges.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>

namespace tallyx {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

std::string Describe(const std::vector<ByteRange>& ranges) {
  std::string text;
  for (const ByteRange& r : ranges)
    text += "[" + std::to_string(r.first) + "," + std::to_string(r.end) + ")";
  return text.empty() ? "none" : text;
}

TEST(MergeRanges, SortsJoinsAndKeepsWithinTheCount) {
  const struct {
    const char* name;
    std::vector<ByteRange> in;
    size_t maxCount;
    std::vector<ByteRange> out;
  } cases[] = {
      {"nothing", {}, 4, {}},
      {"empty ranges dropped", {{5, 5}, {9, 3}, {0, 0}}, 4, {}},
      {"sorted", {{10, 20}, {0, 5}}, 4, {{0, 5}, {10, 20}}},
      {"overlap", {{0, 10}, {5, 15}}, 4, {{0, 15}}},
      {"touching", {{10, 20}, {0, 10}}, 4, {{0, 20}}},
      {"contained", {{0, 100}, {10, 20}, {50, 100}}, 4, {{0, 100}}},
      {"duplicates", {{7, 9}, {7, 9}}, 4, {{7, 9}}},
      {"gap of one byte kept", {{0, 10}, {11, 20}}, 4, {{0, 10}, {11, 20}}},
      {"smallest gaps joined first", {{0, 10}, {12, 20}, {30, 40}, {41, 50}}, 2,
       {{0, 20}, {30, 50}}},
      {"down to one", {{0, 10}, {12, 20}, {30, 40}, {41, 50}}, 1, {{0, 50}}},
      {"count of zero is one", {{0, 10}, {12, 20}}, 0, {{0, 20}}},
      {"equal gaps: leftmost first", {{0, 1}, {3, 4}, {6, 7}}, 2, {{0, 4}, {6, 7}}},
      {"big gap survives", {{0, 1}, {2, 3}, {1000, 1001}, {1002, 1003}}, 2,
       {{0, 3}, {1000, 1003}}},
      {"overlap before the count", {{0, 10}, {5, 12}, {100, 110}, {111, 120}}, 2,
       {{0, 12}, {100, 120}}},
      {"end of the number line", {{kMax - 10, kMax}, {0, 1}, {kMax - 20, kMax - 10}}, 4,
       {{0, 1}, {kMax - 20, kMax}}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Describe(MergeRanges(c.in, c.maxCount)), Describe(c.out)) << c.name;
}

// Any input: sorted, apart (not touching), within the count, and every asked byte covered.
TEST(MergeRanges, RandomInputsStayCoveredAndWithinTheCount) {
  std::mt19937 random(7);
  for (int round = 0; round < 500; ++round) {
    std::vector<ByteRange> in(random() % 30);
    for (ByteRange& r : in) {
      r.first = random() % 1000;
      r.end = r.first + random() % 40;
    }
    const size_t maxCount = 1 + random() % 8;
    const std::vector<ByteRange> out = MergeRanges(in, maxCount);
    const std::string name = Describe(in) + " max " + std::to_string(maxCount);
    EXPECT_LE(out.size(), maxCount) << name;
    for (size_t i = 0; i < out.size(); ++i) {
      EXPECT_LT(out[i].first, out[i].end) << name;
      if (i > 0) {
        EXPECT_LT(out[i - 1].end, out[i].first) << name;
      }
    }
    for (const ByteRange& r : in) {
      if (r.end <= r.first) continue;
      const bool covered = std::any_of(out.begin(), out.end(), [&](const ByteRange& o) {
        return o.first <= r.first && r.end <= o.end;
      });
      EXPECT_TRUE(covered) << name << " loses " << Describe({r});
    }
  }
}

TEST(GroupRanges, SplitsInOrder) {
  const std::vector<ByteRange> five = {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}};
  const struct {
    size_t perRequest;
    std::vector<size_t> sizes;
  } cases[] = {{1, {1, 1, 1, 1, 1}}, {2, {2, 2, 1}}, {5, {5}}, {9, {5}}, {0, {1, 1, 1, 1, 1}}};
  for (const auto& c : cases) {
    const auto groups = GroupRanges(five, c.perRequest);
    std::vector<size_t> sizes;
    std::vector<ByteRange> joined;
    for (const auto& group : groups) {
      sizes.push_back(group.size());
      joined.insert(joined.end(), group.begin(), group.end());
    }
    EXPECT_EQ(sizes, c.sizes) << c.perRequest;
    EXPECT_EQ(joined, five) << c.perRequest;
  }
  EXPECT_TRUE(GroupRanges({}, 3).empty());
}

TEST(RangeHeaderValue, NamesInclusiveLastPositions) {
  const struct {
    std::vector<ByteRange> ranges;
    const char* value;
  } cases[] = {
      {{}, ""},
      {{{0, 100}}, "bytes=0-99"},
      {{{0, 100}, {200, 300}}, "bytes=0-99,200-299"},
      {{{5, 6}}, "bytes=5-5"},
      {{{3, 3}, {5, 6}}, "bytes=5-5"},
      {{{kMax - 1, kMax}}, "bytes=18446744073709551614-18446744073709551614"},
  };
  for (const auto& c : cases) EXPECT_EQ(RangeHeaderValue(c.ranges), c.value) << c.value;
}

TEST(ParseContentRange, TakesOnlyTheCompleteForm) {
  const struct {
    const char* value;
    bool ok;
    ByteRange range;
    uint64_t complete;
  } cases[] = {
      {"bytes 0-9/10", true, {0, 10}, 10},
      {"bytes 100-199/10000", true, {100, 200}, 10000},
      {"Bytes 0-0/1", true, {0, 1}, 1},
      {"  bytes 5-5/6\t", true, {5, 6}, 6},
      {"bytes 007-009/010", true, {7, 10}, 10},
      {"bytes 0-18446744073709551614/18446744073709551615", true, {0, kMax}, kMax},
      {"bytes */1000", false, {}, 0},
      {"bytes 0-9/*", false, {}, 0},
      {"bytes 0-9/9", false, {}, 0},
      {"bytes 9-0/10", false, {}, 0},
      {"bytes 0 -9/10", false, {}, 0},
      {"bytes 0- 9/10", false, {}, 0},
      {"bytes  0-9/10", false, {}, 0},
      {"bytes -1-9/10", false, {}, 0},
      {"bytes +0-9/10", false, {}, 0},
      {"bytes=0-9/10", false, {}, 0},
      {"bytes 0-9/10x", false, {}, 0},
      {"bytes 0-9/10,", false, {}, 0},
      {"bytes 0-9", false, {}, 0},
      {"bytes 0-9/18446744073709551616", false, {}, 0},
      {"bytes 18446744073709551616-1/2", false, {}, 0},
      {"items 0-9/10", false, {}, 0},
      {"", false, {}, 0},
  };
  for (const auto& c : cases) {
    const std::optional<ContentRange> parsed = ParseContentRange(c.value);
    ASSERT_EQ(parsed.has_value(), c.ok) << c.value;
    if (!parsed) continue;
    EXPECT_EQ(parsed->range, c.range) << c.value;
    EXPECT_EQ(parsed->complete, c.complete) << c.value;
  }
}

TEST(MultipartBoundary, TakesAValidBoundaryOfByterangesOnly) {
  const std::string seventy(70, 'b');
  const struct {
    std::string type;
    const char* boundary;  // nullptr: none
  } cases[] = {
      {"multipart/byteranges; boundary=00000000000000000001", "00000000000000000001"},
      {"Multipart/ByteRanges;boundary=\"a b:c\"", "a b:c"},
      {"multipart/byteranges; charset=x; Boundary=ABC", "ABC"},
      {"multipart/byteranges; boundary=abc;", "abc"},
      {"multipart/byteranges; boundary=\"a\\'b\"", "a'b"},
      {"multipart/byteranges; boundary=" + seventy, seventy.c_str()},
      {"multipart/byteranges; boundary=" + seventy + "b", nullptr},
      {"multipart/byteranges; boundary=", nullptr},
      {"multipart/byteranges; boundary=\"\"", nullptr},
      {"multipart/byteranges; boundary=\"abc \"", nullptr},
      {"multipart/byteranges; boundary=a@b", nullptr},
      {"multipart/byteranges; boundary=\"a\\\"b\"", nullptr},
      {"multipart/byteranges; boundary=\"abc", nullptr},
      {"multipart/byteranges; boundary=abc; boundary=abc", nullptr},
      {"multipart/byteranges", nullptr},
      {"multipart/byteranges boundary=abc", nullptr},
      {"multipart/mixed; boundary=abc", nullptr},
      {"application/octet-stream", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    const std::optional<std::string> boundary = MultipartBoundary(c.type);
    ASSERT_EQ(boundary.has_value(), c.boundary != nullptr) << c.type;
    if (boundary) {
      EXPECT_EQ(*boundary, c.boundary) << c.type;
    }
  }
}

// The resource the answers below are cut from.
constexpr uint64_t kComplete = 10000;
std::string Resource() {
  std::string bytes(kComplete, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 37 + i / 253) & 0xFF);
  return bytes;
}

const std::vector<ByteRange> kRequested = {{100, 200}, {1000, 1500}, {9999, 10000}};
constexpr const char* kBoundary = "3d6b6a416f9b5";
const std::string kType = std::string("multipart/byteranges; boundary=") + kBoundary;

std::string PartText(const ByteRange& r, const std::string& resource,
                     const std::string& headers = "Content-Type: application/zip\r\n") {
  return std::string("\r\n--") + kBoundary + "\r\n" + headers + "Content-Range: bytes " +
         std::to_string(r.first) + "-" + std::to_string(r.end - 1) + "/" +
         std::to_string(kComplete) + "\r\n\r\n" + resource.substr(r.first, r.Size());
}

// As nginx sends it: a CRLF before the first delimiter, and one after the closing one.
std::string Multipart(const std::vector<ByteRange>& parts) {
  const std::string resource = Resource();
  std::string body;
  for (const ByteRange& r : parts) body += PartText(r, resource);
  return body + "\r\n--" + kBoundary + "--\r\n";
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

enum class Outcome { Whole, Unfinished, Malformed };

struct Answer {
  std::string type;
  std::string range;
  std::string body;
};

struct Result {
  Outcome outcome;
  std::vector<ByteRange> received;
  std::string assembled;  // the resource's bytes as the sink placed them, '?' elsewhere
  bool inBounds = true;   // every sink call inside the resource
};

// Feeds `body` in the blocks `split` cuts it into.
template <typename Split>
Result Read(const Answer& answer, Split split) {
  Result result{Outcome::Whole, {}, std::string(kComplete, '?')};
  RangeAnswerReader reader(answer.type, answer.range, kRequested, kComplete,
                           [&](uint64_t offset, const char* data, size_t size) {
                             if (offset > kComplete || size > kComplete - offset) {
                               result.inBounds = false;
                               return true;
                             }
                             result.assembled.replace(offset, size, data, size);
                             return true;
                           });
  bool fed = true;
  size_t at = 0;
  while (at < answer.body.size()) {
    const size_t size = std::min<size_t>(split(answer.body.size() - at), answer.body.size() - at);
    fed = reader.Feed(answer.body.data() + at, size) && fed;
    at += size;
  }
  fed = reader.Feed(nullptr, 0) && fed;
  result.outcome = !fed ? Outcome::Malformed
                        : reader.Finish() ? Outcome::Whole : Outcome::Unfinished;
  result.received = reader.Received();
  return result;
}

// Every answer read whole, a byte at a time, and in random blocks: the outcome may not
// depend on where the blocks happen to end.
void ExpectRead(const char* name, const Answer& answer, Outcome outcome,
                const std::vector<ByteRange>& received) {
  const std::string resource = Resource();
  std::mt19937 random(11);
  std::vector<std::pair<std::string, Result>> reads;
  reads.emplace_back("whole", Read(answer, [](size_t left) { return left; }));
  reads.emplace_back("bytewise", Read(answer, [](size_t) { return size_t{1}; }));
  for (int seed = 0; seed < 8; ++seed)
    reads.emplace_back("random " + std::to_string(seed),
                       Read(answer, [&](size_t) { return 1 + random() % 97; }));
  for (const auto& [how, result] : reads) {
    EXPECT_EQ(result.outcome, outcome) << name << ", " << how;
    EXPECT_EQ(Describe(result.received), Describe(received)) << name << ", " << how;
    EXPECT_TRUE(result.inBounds) << name << ", " << how;
    // What a completed part delivered is the resource's own bytes.
    for (const ByteRange& r : result.received)
      EXPECT_TRUE(result.assembled.compare(r.first, r.Size(), resource, r.first, r.Size()) == 0)
          << name << ", " << how << " " << Describe({r});
  }
}

TEST(RangeAnswerReader, GoodAnswersArriveWholeHoweverSplit) {
  const std::string resource = Resource();
  const std::string seventy(70, 'z');
  const std::vector<ByteRange> all = kRequested;
  const std::vector<ByteRange> shuffled = {{9999, 10000}, {100, 200}, {1000, 1500}};
  const struct {
    const char* name;
    Answer answer;
    std::vector<ByteRange> received;
  } cases[] = {
      {"nginx multipart", {kType, "", Multipart(all)}, all},
      {"parts out of order", {kType, "", Multipart(shuffled)}, shuffled},
      {"parts within the requested ranges",
       {kType, "", Multipart({{150, 160}, {1000, 1001}, {1499, 1500}})},
       {{150, 160}, {1000, 1001}, {1499, 1500}}},
      {"no preamble", {kType, "", Multipart(all).substr(2)}, all},
      {"a preamble of text", {kType, "", "This is a preamble.\r\n" + Multipart(all)}, all},
      {"no epilogue", {kType, "", Replace(Multipart(all), "--\r\n", "--")}, all},
      {"an epilogue of text", {kType, "", Multipart(all) + "epilogue"}, all},
      {"transport padding", {kType, "", Replace(Multipart(all), "5\r\n", "5  \r\n")}, all},
      {"header names in any case",
       {kType, "", Replace(Multipart(all), "Content-Range:", "cONTENT-rANGE:")}, all},
      {"no part Content-Type",
       {kType, "", Replace(Multipart(all), "Content-Type: application/zip\r\n", "")}, all},
      {"a Content-Range beside the multipart type",
       {kType, "bytes 0-9/10000", Multipart(all)}, all},
      {"boundary of 70 characters",
       {"multipart/byteranges; boundary=\"" + seventy + "\"", "",
        [&] {
          std::string body = Multipart(all);
          for (size_t at; (at = body.find(kBoundary)) != std::string::npos;)
            body.replace(at, strlen(kBoundary), seventy);
          return body;
        }()},
       all},
      {"single part", {"application/zip", "bytes 1000-1499/10000", resource.substr(1000, 500)},
       {{1000, 1500}}},
      {"single part without a type", {"", "bytes 9999-9999/10000", resource.substr(9999)},
       {{9999, 10000}}},
  };
  for (const auto& c : cases) ExpectRead(c.name, c.answer, Outcome::Whole, c.received);
}

TEST(RangeAnswerReader, HostileAnswersAreRefused) {
  const std::string resource = Resource();
  const std::string good = Multipart(kRequested);
  const std::string b = kBoundary;
  const std::vector<ByteRange> firstTwo = {{100, 200}, {1000, 1500}};
  const std::vector<ByteRange> first = {{100, 200}};
  const struct {
    const char* name;
    Answer answer;
    Outcome outcome;
    std::vector<ByteRange> received;
  } cases[] = {
      // The caller sees what is missing in Received().
      {"a part missing", {kType, "", Multipart(firstTwo)}, Outcome::Whole, firstTwo},
      {"no boundary in the type", {"multipart/byteranges", "", good}, Outcome::Malformed, {}},
      {"no boundary, a Content-Range beside",
       {"multipart/byteranges", "bytes 100-199/10000", good}, Outcome::Malformed, {}},
      {"boundary too long",
       {"multipart/byteranges; boundary=" + std::string(71, 'z'), "", good},
       Outcome::Malformed, {}},
      // Never a delimiter: all of it is preamble, and the body never ends.
      {"another boundary in the type",
       {"multipart/byteranges; boundary=other", "", good}, Outcome::Unfinished, {}},
      {"boundary wrong between parts",
       {kType, "", Replace(good, "\r\n--" + b + "\r\nContent-Type: application/zip\r\n"
                                 "Content-Range: bytes 1000",
                           "\r\n--X" + b.substr(1) + "\r\nContent-Type: application/zip\r\n"
                                 "Content-Range: bytes 1000")},
       Outcome::Malformed, {}},
      {"boundary longer in the body", {kType, "", Replace(good, b + "\r\n", b + "x\r\n")},
       Outcome::Malformed, {}},
      {"no delimiter at all", {kType, "", resource.substr(0, 5000)}, Outcome::Malformed, {}},
      {"no CRLF before a delimiter",
       {kType, "", Replace(good, "\r\n--" + b + "\r\nContent-Type: application/zip\r\n"
                                 "Content-Range: bytes 1000",
                           "--" + b + "\r\nContent-Type: application/zip\r\n"
                           "Content-Range: bytes 1000")},
       Outcome::Malformed, {}},
      {"an overlong part",
       {kType, "", Replace(good, resource.substr(100, 100), resource.substr(100, 101))},
       Outcome::Malformed, {}},
      {"a short part",
       {kType, "", Replace(good, resource.substr(1000, 500), resource.substr(1000, 499))},
       Outcome::Malformed, first},
      {"a part outside the requested ranges",
       {kType, "", Replace(good, "bytes 100-199/", "bytes 100-200/")}, Outcome::Malformed, {}},
      {"a part across two requested ranges",
       {kType, "", Multipart({{150, 1100}})}, Outcome::Malformed, {}},
      {"a part twice",
       {kType, "", Multipart({{100, 200}, {1000, 1500}, {100, 200}})}, Outcome::Malformed,
       firstTwo},
      {"wrong complete length", {kType, "", Replace(good, "1499/10000", "1499/10001")},
       Outcome::Malformed, first},
      {"a Content-Range of unknown length",
       {kType, "", Replace(good, "1499/10000", "1499/*")}, Outcome::Malformed, first},
      {"a part without Content-Range",
       {kType, "", Replace(good, "Content-Range: bytes 1000", "Content-Rang: bytes 1000")},
       Outcome::Malformed, first},
      {"two Content-Range in a part",
       {kType, "", Replace(good, "Content-Type: application/zip",
                           "Content-Range: bytes 100-199/10000")},
       Outcome::Malformed, {}},
      {"a header line without colon",
       {kType, "", Replace(good, "Content-Type: application/zip", "Content-Type application/zip")},
       Outcome::Malformed, {}},
      {"a folded header line",
       {kType, "", Replace(good, "application/zip\r\n", "application/zip\r\n zip\r\n")},
       Outcome::Malformed, {}},
      {"a bare LF in the headers",
       {kType, "", Replace(good, "application/zip\r\n", "application/zip\n")},
       Outcome::Malformed, {}},
      {"a bare CR in the headers",
       {kType, "", Replace(good, "application/zip\r\n", "application/zip\rx\r\n")},
       Outcome::Malformed, {}},
      {"a blank before the colon",
       {kType, "", Replace(good, "Content-Range:", "Content-Range :")}, Outcome::Malformed, {}},
      {"a header block past its bound",
       {kType, "", Replace(good, "application/zip\r\n",
                           "application/zip\r\nX-Pad: " + std::string(5000, 'p') + "\r\n")},
       Outcome::Malformed, {}},
      {"a preamble past its bound", {kType, "", std::string(5000, '\n') + good},
       Outcome::Malformed, {}},
      {"garbage after a delimiter",
       {kType, "", Replace(good, b + "\r\n", b + "\r\r\n")}, Outcome::Malformed, {}},
      {"a single dash closing", {kType, "", Replace(good, b + "--", b + "-x")},
       Outcome::Malformed, {{100, 200}, {1000, 1500}, {9999, 10000}}},
      {"closed with no part", {kType, "", "\r\n--" + b + "--\r\n"}, Outcome::Malformed, {}},
      {"an epilogue past its bound", {kType, "", good + std::string(5000, 'e')},
       Outcome::Malformed, {{100, 200}, {1000, 1500}, {9999, 10000}}},
      // The last part's data came, the delimiter that vouches for its length did not.
      {"no closing delimiter", {kType, "", good.substr(0, good.size() - b.size() - 8)},
       Outcome::Unfinished, firstTwo},
      {"closing delimiter cut", {kType, "", good.substr(0, good.size() - 3)},
       Outcome::Unfinished, {{100, 200}, {1000, 1500}, {9999, 10000}}},
      {"cut in a part's data", {kType, "", good.substr(0, good.find(resource.substr(1000, 500)) + 9)},
       Outcome::Unfinished, first},
      {"empty body", {kType, "", ""}, Outcome::Unfinished, {}},
      {"single part overlong",
       {"application/zip", "bytes 1000-1499/10000", resource.substr(1000, 501)},
       Outcome::Malformed, {{1000, 1500}}},
      {"single part short",
       {"application/zip", "bytes 1000-1499/10000", resource.substr(1000, 499)},
       Outcome::Unfinished, {}},
      {"single part outside the requested ranges",
       {"application/zip", "bytes 1000-1500/10000", resource.substr(1000, 501)},
       Outcome::Malformed, {}},
      {"single part of another complete length",
       {"application/zip", "bytes 1000-1499/20000", resource.substr(1000, 500)},
       Outcome::Malformed, {}},
      {"neither type nor range", {"application/zip", "", resource.substr(1000, 500)},
       Outcome::Malformed, {}},
  };
  for (const auto& c : cases) ExpectRead(c.name, c.answer, c.outcome, c.received);
}

TEST(RangeAnswerReader, ASinkThatRefusesStopsTheReading) {
  const std::string good = Multipart(kRequested);
  int calls = 0;
  RangeAnswerReader reader(kType, "", kRequested, kComplete,
                           [&](uint64_t, const char*, size_t) { return ++calls < 2; });
  EXPECT_FALSE(reader.Feed(good.data(), good.size()));
  EXPECT_EQ(calls, 2);
  EXPECT_FALSE(reader.Finish());
  EXPECT_FALSE(reader.Feed("x", 1));
}

}  // namespace
}  // namespace tallyx
