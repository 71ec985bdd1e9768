#pragma once
// The files a board run leaves under the station folder's "log" folder: debug and error logs
// (one file per saved device log, named by time stamp and slot) and the history log (one line
// per finished run, one file per day and slot). Failures are shown to the operator in a
// message box (caption "ERROR") that blocks the calling thread until answered.
#include <string>

namespace station {

// Writes `logText`, `middleText` and `errorText`, in that order, to a new file
// log/error_log/<stamp>-icon-<icon>.txt when `errorText` is not empty, else
// log/debug_log/<stamp>-icon-<icon>.txt; stamp like 2026Y-12M-09D-10h-05m-07s. A file of the
// same name is replaced. True when the file was written.
bool WriteLogFile(int icon, const std::string& errorText, const std::string& middleText,
                  const std::string& logText);

// Writes the icon's device log to a debug log file and empties it; an empty log writes nothing.
void SaveDeviceLog(int icon);

// Appends one history line to log/history_log/<date>-TreadCont-<icon>-.txt. keyName and
// imageName are reduced to their file names ("NULL" stays; an empty one writes nothing and
// gives 0); keyNowCont is written as its number minus 1 unless it is "NULL". Nonzero when
// the line was written.
int WriteHistoryLog(int icon, const std::string& mac, const std::string& keyNowCont,
                    const std::string& keyMax, const std::string& keyName,
                    const std::string& imageName, const std::string& timeConsuming);

}  // namespace station
