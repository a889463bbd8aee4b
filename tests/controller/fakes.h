#pragma once
// Recording fakes of the operations the update controller calls. Every fake appends
// what it was asked to one shared log, so a test reads the whole conversation in order.
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "controller/operations/operations.h"

namespace tallyx::fakes {

using Log = std::vector<std::string>;

inline std::string Utf8(const std::u16string& s) { return EncodeUtf8(s); }

class FakeWeb : public WebTextFetch {
 public:
  enum class Outcome { Body, ThrowsError, ThrowsOutOfMemory };
  explicit FakeWeb(Log& log) : log_(log) {}
  std::string GetUrlText(const std::u16string& url) override {
    log_.push_back("GetUrlText " + Utf8(url));
    if (outcome == Outcome::ThrowsError) throw EOSError(u"System Error.  Code: 12029.\r\n", 12029);
    if (outcome == Outcome::ThrowsOutOfMemory) throw std::bad_alloc();
    return body;
  }
  std::string body;
  Outcome outcome = Outcome::Body;

 private:
  Log& log_;
};

class FakeCallback : public DownloadCallback {
 public:
  explicit FakeCallback(int id) : id(id) {}
  const int id;
};

class FakeDownloads : public Downloads {
 public:
  explicit FakeDownloads(Log& log) : log_(log) {}
  void DeleteUrlCacheEntry(const std::u16string& url) override {
    log_.push_back("DeleteUrlCacheEntry " + Utf8(url));
  }
  std::unique_ptr<DownloadCallback> CreateDownloadCallback() override {
    log_.push_back("CreateDownloadCallback");
    return std::make_unique<FakeCallback>(++created_);
  }
  bool DownloadToFile(const std::u16string& url, const std::u16string& path,
                      DownloadCallback* callback, DownloadStart start,
                      uint64_t signedLength) override {
    const auto* fake = dynamic_cast<FakeCallback*>(callback);
    log_.push_back("DownloadToFile " + Utf8(url) + " -> " + Utf8(path) + " callback " +
                   (fake ? std::to_string(fake->id) : "none") +
                   (start == DownloadStart::Afresh ? " afresh" : "") +
                   (signedLength ? " of " + std::to_string(signedLength) : ""));
    if (whileDownloading) whileDownloading();
    return resumed;
  }
  std::function<void()> whileDownloading;
  // What the next downloads answer: completed from a kept part.
  bool resumed = false;

 private:
  Log& log_;
  int created_ = 0;
};

class FakeFiles : public FileQueries {
 public:
  explicit FakeFiles(Log& log) : log_(log) {}
  std::u16string CurrentDirectory() override { return currentDirectory; }
  bool FileExists(const std::u16string& path) override {
    log_.push_back("FileExists " + Utf8(path));
    return versions.count(path) != 0 || present.count(path) != 0;
  }
  std::u16string currentDirectory = u"Z:\\tallyx";
  std::set<std::u16string> present;  // other files that exist
  // Existing executables and their FileVersion; an absent value means no version
  // resource.
  std::map<std::u16string, const char16_t*> versions;

 private:
  Log& log_;
};

class FakeExeVersion : public ExeVersion {
 public:
  FakeExeVersion(Log& log, const FakeFiles& files) : log_(log), files_(files) {}
  TEXEVersionData GetExeVersionData(const std::u16string& path) override {
    log_.push_back("GetExeVersionData " + Utf8(path));
    const auto it = files_.versions.find(path);
    if (it == files_.versions.end() || it->second == nullptr)
      throw EOSError(u"System Error.  Code: 1813.\r\nThe specified resource type cannot be found in the image file", 1813);
    TEXEVersionData data;
    data.FileVersion = it->second;
    return data;
  }

 private:
  Log& log_;
  const FakeFiles& files_;
};

class FakeKeyboard : public Keyboard {
 public:
  int16_t ShiftKeyState() override { return shift; }
  int16_t shift = 0;
};

class FakeProcesses : public Processes {
 public:
  explicit FakeProcesses(Log& log) : log_(log) {}
  bool IsProcessRunning(const std::u16string& name) override {
    log_.push_back("IsProcessRunning " + Utf8(name));
    if (whileQuerying) whileQuerying();
    if (running.empty()) return stillRunning;
    const bool answer = running.front();
    running.pop_front();
    return answer;
  }
  int32_t KillProcessByName(const std::u16string& name) override {
    log_.push_back("KillProcessByName " + Utf8(name));
    return 1;
  }
  std::deque<bool> running;  // successive answers, then `stillRunning` for good
  bool stillRunning = false;
  std::function<void()> whileQuerying;

 private:
  Log& log_;
};

enum class ArchiveFailure { OpenFails, ExtractFails, ExtractOutOfMemory };

class FakeArchives : public ArchiveFactory {
 public:
  explicit FakeArchives(Log& log) : log_(log) {}
  std::unique_ptr<Archive> CreateArchive(const WaitBudgets&) override {
    log_.push_back("CreateArchive");
    return std::make_unique<FakeArchive>(*this);
  }
  std::map<std::u16string, ArchiveFailure> failures;
  bool placeFails = false;
  // The SHA-256 of each archive file as an opening holds it; a file missing here
  // cannot be opened for a check.
  std::map<std::u16string, Sha256Digest> contents;
  // The SHA-256 of the file that extracting each archive writes when asked for it.
  std::map<std::u16string, Sha256Digest> delivers;
  // The bytes extracting each archive writes, reported halfway and at the end to the
  // progress handler.
  std::map<std::u16string, uint64_t> sizes;

 private:
  class FakeArchive : public Archive {
   public:
    explicit FakeArchive(FakeArchives& owner) : owner_(owner) {}
    ~FakeArchive() override { owner_.log_.push_back("ReleaseArchive"); }
    void Open(const std::u16string& path, const ContentCheck& check) override {
      owner_.log_.push_back("Open " + Utf8(path));
      open_ = path;
      if (Fails(ArchiveFailure::OpenFails)) throw EFOpenError(u"Cannot open file \"" + path + u"\"");
      if (!check) return;
      const auto content = owner_.contents.find(path);
      if (content == owner_.contents.end()) throw EFOpenError(u"Cannot open file \"" + path + u"\"");
      check(content->second);
      owner_.log_.push_back("Checked " + Utf8(path));
    }
    std::optional<Sha256Digest> ExtractAll(const std::u16string& folder, const std::u16string& lastFile,
                                           const std::u16string& hashedFile) override {
      owner_.log_.push_back("ExtractAll " + Utf8(folder) + ", " + Utf8(lastFile) + " last" +
                            (hashedFile.empty() ? "" : ", hashing " + Utf8(hashedFile)));
      const auto size = owner_.sizes.find(open_);
      if (progress_ && size != owner_.sizes.end()) {
        for (const uint64_t done : {uint64_t{0}, size->second / 2, size->second})
          progress_(ArchiveStep::Writing, done, size->second);
      }
      if (Fails(ArchiveFailure::ExtractFails)) throw EFCreateError(u"Cannot create file");
      if (Fails(ArchiveFailure::ExtractOutOfMemory)) throw std::bad_alloc();
      const auto written = owner_.delivers.find(open_);
      if (hashedFile.empty() || written == owner_.delivers.end()) return std::nullopt;
      return written->second;
    }
    void Close() override { owner_.log_.push_back("Close"); }
    void SetOnProgress(ArchiveProgress progress) override { progress_ = std::move(progress); }
    void PlaceLastFile() override {
      owner_.log_.push_back("PlaceLastFile");
      if (owner_.placeFails) throw EFCreateError(u"Cannot create file");
    }

   private:
    bool Fails(ArchiveFailure failure) const {
      const auto it = owner_.failures.find(open_);
      return it != owner_.failures.end() && it->second == failure;
    }
    FakeArchives& owner_;
    std::u16string open_;
    ArchiveProgress progress_;
  };
  Log& log_;
};

// The main window. Its boxes answer from a script; once Terminate has been called they
// close at once with Cancel, as the real ones do.
class FakeWindow : public MainWindow {
 public:
  explicit FakeWindow(Log& log) : log_(log) {}
  void DisableUpdateTimer() override { log_.push_back("DisableUpdateTimer"); }
  void SetAnnouncement(const std::u16string& text) override {
    log_.push_back("SetAnnouncement");
    announcement = text;
  }
  void SetHistoryText(const std::u16string& text) override {
    log_.push_back("SetHistoryText");
    history = text;
  }
  void DeleteHistoryLine(int index) override {
    log_.push_back("DeleteHistoryLine " + std::to_string(index));
    size_t begin = 0;
    for (int i = 0; i < index && begin != std::u16string::npos; ++i) {
      begin = history.find(u"\r\n", begin);
      if (begin != std::u16string::npos) begin += 2;
    }
    const size_t end = begin == std::u16string::npos ? begin : history.find(u"\r\n", begin);
    if (end == std::u16string::npos) {
      log_.back() += " (no such line)";
      return;
    }
    history.erase(begin, end + 2 - begin);
  }
  void ShowWindow() override { log_.push_back("ShowWindow"); }
  void SetControlVisible(WindowControl control, bool visible) override {
    static const char* const kNames[] = {"ProgressBar", "InstallButton", "LaterButton",
                                         "QuitButton"};
    log_.push_back(std::string(visible ? "Show " : "Hide ") + kNames[static_cast<int>(control)]);
  }
  DialogAnswer ShowQuestion(const std::u16string& text, QuestionButtons buttons) override {
    questions.push_back(text);
    const char* kind = buttons == QuestionButtons::YesNo ? "YesNo" : "CancelRetry";
    if (terminated_ || answers.empty()) {
      log_.push_back(std::string("Question ") + kind + (terminated_ ? " closed at once" : " unscripted"));
      return DialogAnswer::Cancel;
    }
    log_.push_back(std::string("Question ") + kind);
    const DialogAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowNotice(const std::u16string& text) override {
    log_.push_back((terminated_ ? "Notice closed at once: " : "Notice: ") + Utf8(text));
  }
  void ReportError(const Exception& error) override {
    log_.push_back("ReportError " + Utf8(error.ClassName()) + ": " + Utf8(error.Message()));
  }
  void Terminate() override {
    log_.push_back("Terminate");
    terminated_ = true;
  }
  // Recorded apart from the log, which the installation tests compare call by call.
  void ShowInstallProgress(ArchiveStep step, uint64_t done, uint64_t total) override {
    progress.push_back({step, done, total});
    if (progressFailsOnce) {
      progressFailsOnce = false;
      throw EOSError(u"System Error.  Code: 1400.", 1400);
    }
  }
  struct Progress {
    ArchiveStep step;
    uint64_t done, total;
    bool operator==(const Progress&) const = default;
  };
  std::vector<Progress> progress;
  bool progressFailsOnce = false;

  std::deque<DialogAnswer> answers;
  std::vector<std::u16string> questions;
  std::u16string announcement;
  std::u16string history;

 private:
  Log& log_;
  bool terminated_ = false;
};

// Time passes only when the controller sleeps (or a test moves it on).
class FakeClock : public Clock {
 public:
  explicit FakeClock(Log& log) : log_(log) {}
  uint64_t NowMs() override { return now; }
  void Sleep(uint32_t ms) override {
    log_.push_back("Sleep " + std::to_string(ms));
    now += ms;
  }
  uint64_t now = 1000000;

 private:
  Log& log_;
};

class FakeInstallFolder : public InstallFolderAccess {
 public:
  explicit FakeInstallFolder(Log& log) : log_(log) {}
  bool AcceptsNewFile(const std::u16string& folder) override {
    log_.push_back("AcceptsNewFile " + Utf8(folder));
    return writable;
  }
  bool IsElevated() override {
    log_.push_back("IsElevated");
    return elevated;
  }
  bool RelaunchElevated(const std::u16string& folder) override {
    log_.push_back("RelaunchElevated " + Utf8(folder));
    return relaunchStarts;
  }
  bool writable = true;
  bool elevated = false;
  bool relaunchStarts = true;

 private:
  Log& log_;
};

// All fakes wired together, as the program wires the real operations.
struct FakeOperations {
  Log log;
  FakeWeb web{log};
  FakeDownloads downloads{log};
  FakeFiles files{log};
  FakeExeVersion exeVersion{log, files};
  FakeKeyboard keyboard;
  FakeProcesses processes{log};
  FakeArchives archives{log};
  FakeWindow window{log};
  FakeClock clock{log};
  FakeInstallFolder installFolder{log};

  Operations operations() {
    return Operations{web,      downloads, files,  exeVersion, keyboard,
                      processes, archives, window, clock,      installFolder};
  }
};

}  // namespace tallyx::fakes
