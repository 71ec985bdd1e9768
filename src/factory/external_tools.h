#pragma once
// The outside programs of the factory data, run as child processes: the archiver (the
// system's GNU tar, copied into the work folder as "tar.exe"), the key-bag generator that
// hands out the next secure key, and the key-bag viewer that reports the key bag's counters
// (tools/keybag). Every run must end by itself with status 0 within its time-out; a run past
// its time-out is ended and counts as failed.
#include <cstdint>
#include <string>

#include "foundation/process_runner.h"

namespace station {

constexpr int64_t kArchiverTimeoutMs = 120000;
constexpr int64_t kKeyBagGeneratorTimeoutMs = 120000;
constexpr int64_t kKeyBagViewerTimeoutMs = 150000;

// Every archiver run writes ustar archives: the option goes into the child's environment only.
inline constexpr const char* kArchiverEnvironment = "TAR_OPTIONS=--format=ustar";
inline constexpr const char* kKeyBagViewerName = "keybag-view";

// The viewer in the tool folder, and the counters it writes: KeyTempDir + "nowidx.txt".
std::string KeyBagViewerExe();
std::string KeyIndexFile();

// Runs TempToolTarExe with `commandLine` (split as a command line is split; the exact lines
// begin with a blank, so the program name is empty) in TempToolDir; true when it ended with 0.
bool RunTarArchiver(const std::string& commandLine, int slot);

// Runs KeyBagGeneratorExe ("./keybag-gen") in the tool folder.
bool RunKeyBagGenerator(int slot);

// Runs the viewer in the tool folder, its outcome lines in slot 0's log.
ChildRun RunKeyBagViewer();

}  // namespace station
