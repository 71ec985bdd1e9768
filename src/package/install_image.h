#pragma once
// Unpacking a whole tar archive (the installation package, the boot-loader archive) into a
// folder, with the station's progress bar. The archive is walked twice: once to count its
// members, so the bar's range is known, then to make the folders and write the files.
#include <cstdint>
#include <string>

namespace ui {
class Dialog;
}

namespace station {

// Unpacks `archivePath` into `destFolder`, which must exist. `progressBar` is the dialog
// holding the progress bar (control kProgressBarId), or null. The two counters belong to the
// caller and only grow: the first walk adds one to `maxCounter` per member, the second one to
// `stepCounter` per member, and the bar is set from them. With `quiet` set, or without a bar,
// the counters and the bar are left alone; the log lines appear either way.
// Members whose name is absolute or climbs out with ".." are skipped with a log line.
// False when the calling thread was asked to stop (plat::StopRequested): the walk ends at the
// next member, or inside a member's data, and the folder holds a part of the archive only.
bool UntarInstallImg(const std::string& archivePath, const std::string& destFolder, ui::Dialog* progressBar,
                     uint16_t& maxCounter, uint32_t& stepCounter, int quiet);

}  // namespace station
