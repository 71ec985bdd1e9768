#pragma once
// The two ways an operator loads an installation package, each on a worker thread of its own
// while the main dialog goes on: "open" (button 1067) chooses a file and unpacks it afresh
// into UnTarTmp; "reload img" (button 1145) loads again the package named in SYSTEM.ini from
// the tree the last "open" unpacked. For the NOR flash kind the chosen file is the NOR image
// itself. Both disable the main controls while they work, report a failed load on slot 0
// and in an error log file, and leave no image loaded after a failure.
namespace station {

// The thread bodies; the parameter is not read and the result is 0. Each ends with the main
// controls enabled, ImageLoading 0 and its running mark cleared, on every path.
int OpenImageThread(void* param = nullptr);
int ReloadImageThread(void* param = nullptr);

// Start a thread on the station state's handle, unless one of that kind is still running
// (false then). A finished thread of the kind is joined first. A thread the system cannot give
// is false too, with a main-log line.
bool StartOpenImageThread();
bool StartReloadImageThread();

// What a failed load shows: slot 0's failure picture, an error log file with `detail` and
// slot 0's log, then slot 0's log emptied and its busy flag cleared.
void ReportImageLoadFailure(const char* detail);

}  // namespace station
