// Direct saving: file parts go to disk while Read runs, each into its own
// file in one folder, under the overwrite policy of FileSave.
#pragma once

#include <memory>

#include "base/ustring.h"
#include "process/overwrite_mode.h"
#include "process/upload_receiver.h"

namespace velmora {

class TRenameCounters;

// The upload object's settings for one direct-mode read.
struct TDirectSaveOptions {
  ustring Path;                  // put before each name as it is: a folder ending in "\"
  ustring Name;                  // the name every file gets, unless UseExistingName
  bool UseExistingName = false;  // the client's (reduced) name instead
  TowModeType Mode = owAlways;
  ustring OverwriteChr;
  TRenameCounters* renames = nullptr;  // outlives the files it saves
};

// At the platform's edge (direct_save_win32.cpp); without a file layer a
// direct-mode Read fails at its first file part.
std::unique_ptr<IFileDestinations> MakeDirectSave(TDirectSaveOptions options);

}  // namespace velmora
