// tallyx-publish: the vendor's tool that makes signed releases for the updater.
#include <iostream>
#include <map>
#include <string>

#include "base/errors.h"
#include "base/text.h"
#include "tools/publish/publish.h"
#include "tools/publish/publish_error.h"

namespace {

constexpr char kUsage[] =
    "usage: tallyx-publish keygen KEYFILE\n"
    "       tallyx-publish release --key KEYFILE --version V --date D --history FILE\n"
    "                      --url-base URL --out DIR [--previous URL-or-FILE] RELEASE_FOLDER\n";

int Run(int argc, char** argv) {
  using tallyx::publish::PublishError;
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "keygen" && argc == 3) {
    tallyx::publish::Keygen(argv[2], std::cout);
    std::cerr << "private key written to " << argv[2]
              << "; configure the updater with -DTALLYX_RELEASE_KEYS=<the key above>\n";
    return 0;
  }
  if (command != "release") throw PublishError(kUsage);
  std::map<std::string, std::string> values;
  tallyx::publish::ReleaseOptions o;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.starts_with("--")) {
      if (i + 1 == argc) throw PublishError(arg + " needs a value\n" + kUsage);
      if (!values.emplace(arg, argv[++i]).second) throw PublishError(arg + " given twice");
    } else if (o.releaseFolder.empty()) {
      o.releaseFolder = arg;
    } else {
      throw PublishError(std::string("one release folder only\n") + kUsage);
    }
  }
  const auto take = [&](const std::string& name, std::string& field) {
    const auto found = values.find(name);
    if (found == values.end()) throw PublishError(name + " is missing\n" + kUsage);
    field = found->second;
    values.erase(found);
  };
  take("--key", o.keyFile);
  take("--version", o.version);
  take("--date", o.date);
  take("--history", o.historyFile);
  take("--url-base", o.urlBase);
  take("--out", o.outDir);
  if (values.contains("--previous")) {
    o.previous = values["--previous"];
    values.erase("--previous");
  }
  if (!values.empty()) throw PublishError("unknown option " + values.begin()->first);
  if (o.releaseFolder.empty()) throw PublishError(std::string("RELEASE_FOLDER is missing\n") + kUsage);
  tallyx::publish::Release(o, tallyx::publish::ExtractLikeTheUpdater, std::cout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const tallyx::publish::PublishError& e) {
    std::cerr << "tallyx-publish: " << e.what() << "\n";
  } catch (const tallyx::Exception& e) {
    std::cerr << "tallyx-publish: " << e.what() << "\n";
  }
  return 1;
}
