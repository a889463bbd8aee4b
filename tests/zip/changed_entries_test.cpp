// The installation from changed entries against servers that answer ranges in every way
// they do: what is fetched, what is refused, and what the written archive holds.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/byte_ranges.h"
#include "base/text.h"
#include "platform/native_file_system.h"
#include "platform/signature.h"
#include "tests/zip/scratch.h"
#include "tools/zip_writer/zip_writer.h"
#include "zip/changed_entries.h"
#include "zip/release_index.h"
#include "zip/zip_file.h"
#include "zip/zip_struct.h"

namespace tallyx {
namespace {

using testing::ReadBytes;
using testing::Noise;
using testing::ScratchFolder;
using testing::WriteBytes;
namespace fs = std::filesystem;

Sha256Digest Sha(Sha256Factory& sha256, std::string_view bytes) {
  const auto hash = sha256.NewSha256();
  hash->Update(bytes.data(), bytes.size());
  return hash->Finish();
}

// How a server answers range requests.
enum class Server {
  Multipart,          // several ranges in one multipart answer
  Reversed,           // the parts in the reverse order
  OneRangeOnly,       // the whole resource (200) for more than one range
  NoRanges,           // the whole resource (200) always
  DropsAPart,         // the first part of a multipart answer left out
  Tampered,           // one byte of a changed entry's data changed
  Overlong,           // a part longer than its Content-Range says
  Fails,              // the transfer breaks after its headers
};

class RangeServer : public Downloads {
 public:
  RangeServer(std::string archive, Server mode) : archive_(std::move(archive)), mode_(mode) {}
  std::vector<std::string> requests;
  uint64_t sent = 0;
  size_t tamperAt = 0;

  void DeleteUrlCacheEntry(const std::u16string&) override {}
  std::unique_ptr<DownloadCallback> CreateDownloadCallback() override { return nullptr; }
  bool DownloadToFile(const std::u16string&, const std::u16string&, DownloadCallback*,
                      DownloadStart, uint64_t) override {
    return false;
  }
  bool GetRanges(const std::u16string&, const std::string& ranges, RangeAnswer& answer,
                 DownloadCallback*, uint64_t, uint64_t) override {
    requests.push_back(ranges);
    std::vector<ByteRange> asked;
    std::istringstream list(ranges.substr(6));
    for (std::string item; std::getline(list, item, ',');) {
      const size_t dash = item.find('-');
      const std::string last = item.substr(dash + 1);
      asked.push_back({std::stoull(item.substr(0, dash)),
                       last.empty() ? archive_.size() : std::stoull(last) + 1});
    }
    std::string served = archive_;
    if (mode_ == Server::Tampered) served[tamperAt] ^= 0x01;
    const bool whole = mode_ == Server::NoRanges ||
                       (mode_ == Server::OneRangeOnly && asked.size() > 1);
    if (whole) {
      if (!answer.Head({200, "application/zip", ""})) return false;
      return Send(answer, served);
    }
    const std::string total = "/" + std::to_string(served.size());
    const auto range = [&](const ByteRange& r) {
      return "bytes " + std::to_string(r.first) + "-" + std::to_string(r.end - 1) + total;
    };
    if (asked.size() == 1) {
      if (!answer.Head({206, "application/zip", range(asked[0])})) return false;
      return Send(answer, served.substr(asked[0].first, asked[0].Size()));
    }
    if (mode_ == Server::Reversed) std::reverse(asked.begin(), asked.end());
    if (mode_ == Server::DropsAPart) asked.erase(asked.begin());
    if (!answer.Head({206, "multipart/byteranges; boundary=3d6b6a416f9b5", ""})) return false;
    if (mode_ == Server::Fails) return false;
    std::string body;
    for (const ByteRange& r : asked) {
      body += "\r\n--3d6b6a416f9b5\r\nContent-Type: application/zip\r\nContent-Range: " + range(r) +
              "\r\n\r\n" + served.substr(r.first, r.Size());
      if (mode_ == Server::Overlong) body += "!";
    }
    body += "\r\n--3d6b6a416f9b5--\r\n";
    return Send(answer, body);
  }

 private:
  // In blocks of an odd size, as a network delivers them.
  bool Send(RangeAnswer& answer, const std::string& body) {
    for (size_t at = 0; at < body.size(); at += 7777) {
      const size_t piece = std::min<size_t>(7777, body.size() - at);
      sent += piece;
      if (!answer.Body(body.data() + at, piece)) return false;
    }
    return true;
  }

  std::string archive_;
  Server mode_;
};

struct ReleaseFile {
  std::string name;
  std::string installed;  // what the folder holds before; "-" for nothing
  std::string release;    // what the release holds
};

// A release of a few dozen files of which some changed, some are new, and the rest are
// the same; with its index as tallyx-publish writes it.
struct Release {
  std::vector<ReleaseFile> files;
  std::string archive;
  ReleaseIndex index;

  explicit Release(Sha256Factory& sha256) {
    for (int i = 0; i < 40; ++i) {
      const std::string data = Noise(3000 + 500 * i, i) + std::string(4000, 'a' + i % 26);
      const std::string name = "lib/part" + std::to_string(i) + ".dll";
      files.push_back({name, data, i % 10 == 3 ? data + "v2" : data});
    }
    files.push_back({"data/new.txt", "-", "brand new"});
    files.push_back({"data/", "-", ""});
    files.push_back({"tallyx.zip", "inner", "inner"});
    files.push_back({"tallyx.exe", "old program", "new program"});
    std::ostringstream out;
    ZipWriter writer(out);
    for (const ReleaseFile& file : files) {
      ZipWriterEntry entry{file.name, file.release};
      if (file.name.back() == '/') entry.externalAttributes = kZipAttributeDirectory;
      writer.Add(entry);
    }
    writer.Finish();
    archive = out.str();
    index.archiveSize = archive.size();
    index.centralOffset = writer.CentralOffset();
    index.centralContent = Sha(sha256, std::string_view(archive).substr(writer.CentralOffset()));
    for (size_t i = 0; i < files.size(); ++i) {
      const size_t end = i + 1 < files.size() ? writer.LocalOffsets()[i + 1] : writer.CentralOffset();
      const std::string& data = files[i].release;
      const auto* raw = reinterpret_cast<const unsigned char*>(archive.data() + writer.LocalOffsets()[i]);
      index.entries.push_back({writer.LocalOffsets()[i], end - writer.LocalOffsets()[i],
                               GetLE32(raw + 18), data.size(),
                               static_cast<uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(data.data()),
                                                             static_cast<uInt>(data.size()))),
                               Sha(sha256, data), U16(files[i].name)});
    }
  }

  void Install(const fs::path& folder) const {
    for (const ReleaseFile& file : files) {
      if (file.installed == "-") continue;
      fs::create_directories((folder / file.name).parent_path());
      WriteBytes(folder / file.name, file.installed);
    }
  }

  // The compressed bytes of the entries whose installed file differs, with the central
  // directory: what an installation from changed entries cannot do without.
  uint64_t Needed() const {
    uint64_t bytes = index.archiveSize - index.centralOffset;
    for (size_t i = 0; i < files.size(); ++i)
      if (files[i].installed != files[i].release) bytes += index.entries[i].length;
    return bytes;
  }
};

TEST(ChangedEntries, FetchesWhatDiffersOrRefusesTheServer) {
  const auto verifier = CreateSignatureVerifier();
  const Release release(*verifier);
  std::set<std::string> differing;
  for (const ReleaseFile& file : release.files)
    if (file.installed != file.release) differing.insert(file.name);

  struct Case {
    Server server;
    bool fetched;
    size_t requests;
    bool installed = true;  // false: an empty folder, where the whole archive is cheaper
  } cases[] = {
      {Server::Multipart, true, 1},     {Server::Reversed, true, 1},
      {Server::OneRangeOnly, true, 0},  {Server::NoRanges, false, 1},
      {Server::DropsAPart, false, 1},   {Server::Tampered, false, 1},
      {Server::Overlong, false, 1},     {Server::Fails, false, 1},
      {Server::Multipart, false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.server));
    ScratchFolder folder;
    if (c.installed) release.Install(folder.path());
    const std::unique_ptr<FileSystem> files = CreateNativeFileSystem();
    RangeServer server(release.archive, c.server);
    // Inside the data of the first changed library.
    server.tamperAt = release.index.entries[3].offset + release.index.entries[3].length - 100;
    ZipChangedEntriesFactory factory(*files, *verifier);
    const auto changes = factory.CreateChangedEntries(server);
    const std::u16string path = folder.Text() + u"/Tallyx_changes.zip";
    std::vector<uint64_t> shown;
    const bool fetched = changes->Fetch(
        u"http://dl.example/r.zip", FormatReleaseIndex(release.index), folder.Text(), path, nullptr,
        [&](ArchiveStep, uint64_t done, uint64_t) { shown.push_back(done); });
    EXPECT_EQ(fetched, c.fetched);
    EXPECT_FALSE(fs::exists(folder.path() / "Tallyx_changes.zip.part"));
    ASSERT_FALSE(shown.empty());
    if (!c.fetched) {
      EXPECT_FALSE(fs::exists(path));
      if (!c.installed) {
        EXPECT_TRUE(server.requests.empty());
      }
      continue;
    }
    // One request for all, or, where several ranges bring the whole archive, one that
    // was ended at its headers and then one a range.
    if (c.requests != 0) {
      EXPECT_EQ(server.requests.size(), c.requests);
    } else {
      EXPECT_GT(server.requests.size(), 2u);
    }
    EXPECT_LE(server.sent, release.Needed() * 115 / 100 + 2048) << release.Needed();
    EXPECT_EQ(changes->Content(), Sha(*verifier, ReadBytes(path)));
    TZipFile zip(*files);
    zip.Open(path, TZipMode::zmRead);
    std::set<std::string> names;
    for (size_t i = 0; i < zip.FileCount(); ++i) names.insert(zip.FileInfo(i).FileName);
    EXPECT_EQ(names, differing);
    zip.ExtractAll(folder.Text());
    for (const ReleaseFile& file : release.files) {
      if (file.name.back() != '/') {
        EXPECT_EQ(ReadBytes(folder.path() / file.name), file.release);
      }
    }
    // The files left as they were get the release's times, as an extraction gives them.
    const fs::path same = folder.path() / "lib" / "part0.dll";
    fs::last_write_time(same, fs::file_time_type::clock::now() - std::chrono::hours(100));
    changes->SetUnchangedTimes();
    const auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
        fs::last_write_time(same).time_since_epoch() -
        fs::file_time_type::clock::now().time_since_epoch() +
        std::chrono::system_clock::now().time_since_epoch());
    EXPECT_NEAR(static_cast<double>(stamp.count()),
                static_cast<double>(files->LocalToUtc(ToUnixSeconds(DecodeDosDateTime(kDosDate2021)))),
                2.0);
    EXPECT_EQ(changes->UnchangedContent(u"tallyx.zip"), Sha(*verifier, "inner"));
    EXPECT_EQ(changes->UnchangedContent(u"tallyx.exe"), std::nullopt);
  }
}

// The index comes whole from a server that answers ranges, and from no other.
TEST(ChangedEntries, TheIndexComesInOneRangeOrNotAtAll) {
  const auto verifier = CreateSignatureVerifier();
  const std::string index = FormatReleaseIndex(Release(*verifier).index);
  const std::unique_ptr<FileSystem> files = CreateNativeFileSystem();
  ZipChangedEntriesFactory factory(*files, *verifier);
  const struct {
    Server server;
    bool whole;
  } cases[] = {{Server::Multipart, true}, {Server::NoRanges, false}, {Server::Overlong, true}};
  for (const auto& c : cases) {
    RangeServer server(index, c.server);
    const std::string got = factory.CreateChangedEntries(server)->FetchIndex(u"i", nullptr);
    EXPECT_EQ(got, c.whole ? index : "") << static_cast<int>(c.server);
    EXPECT_EQ(server.requests, std::vector<std::string>{"bytes=0-"});
  }
}

// An index that does not describe the archive it came with is refused before anything of
// the folder is touched, whatever field it bends.
TEST(ChangedEntries, AnIndexThatDoesNotFitTheArchiveIsRefused) {
  const auto verifier = CreateSignatureVerifier();
  const Release release(*verifier);
  const std::function<void(ReleaseIndex&)> bends[] = {
      [](ReleaseIndex& x) { x.entries[3].offset += 1; },
      [](ReleaseIndex& x) { x.entries[3].length -= 1; },
      [](ReleaseIndex& x) { x.entries[3].size += 1; },
      [](ReleaseIndex& x) { x.entries[3].crc32 ^= 1; },
      [](ReleaseIndex& x) { x.entries[3].content[0] ^= 1; },
      [](ReleaseIndex& x) { x.entries[3].name = u"lib/other.dll"; },
      [](ReleaseIndex& x) { x.entries[43].name = u"../tallyx.exe"; },
      [](ReleaseIndex& x) { x.centralContent[5] ^= 1; },
      [](ReleaseIndex& x) { x.archiveSize += 10; },
      [](ReleaseIndex& x) { x.entries.pop_back(); },
  };
  for (size_t b = 0; b < std::size(bends); ++b) {
    SCOPED_TRACE(b);
    ReleaseIndex index = release.index;
    bends[b](index);
    ScratchFolder folder;
    release.Install(folder.path());
    const std::unique_ptr<FileSystem> files = CreateNativeFileSystem();
    RangeServer server(release.archive, Server::Multipart);
    ZipChangedEntriesFactory factory(*files, *verifier);
    const auto changes = factory.CreateChangedEntries(server);
    const std::u16string path = folder.Text() + u"/Tallyx_changes.zip";
    EXPECT_FALSE(changes->Fetch(u"http://dl.example/r.zip", FormatReleaseIndex(index),
                                folder.Text(), path, nullptr, {}));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(fs::exists(folder.path() / "Tallyx_changes.zip.part"));
    EXPECT_EQ(ReadBytes(folder.path() / "tallyx.exe"), "old program");
  }
}

}  // namespace
}  // namespace tallyx
