#pragma once
// Everything the update controller asks of the rest of the program.
#include "controller/operations/archive.h"
#include "controller/operations/clock.h"
#include "controller/operations/exe_version.h"
#include "controller/operations/files.h"
#include "controller/operations/install_folder.h"
#include "controller/operations/keyboard.h"
#include "controller/operations/main_window.h"
#include "controller/operations/processes.h"
#include "controller/operations/web.h"

namespace tallyx {

struct Operations {
  WebTextFetch& web;
  Downloads& downloads;
  FileQueries& files;
  ExeVersion& exeVersion;
  Keyboard& keyboard;
  Processes& processes;
  ArchiveFactory& archives;
  MainWindow& window;
  Clock& clock;
  InstallFolderAccess& installFolder;
};

}  // namespace tallyx
