#include "foundation/log_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/work_paths.h"
#include "platform/clock.h"
#include "platform/ui.h"

namespace station {

namespace {

struct tm LocalNow() {
  const time_t now = static_cast<time_t>(plat::clock().WallSeconds());
  struct tm local {};
  localtime_r(&now, &local);
  return local;
}

std::string Format(const struct tm& t, const char* format) {
  char buf[64] = {};
  strftime(buf, sizeof buf, format, &t);
  return buf;
}

void ErrorBox(const char* text) { ui::MessageBox(text, "ERROR", ui::MB_OK | ui::MB_ICONWARNING); }

bool WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t n = text.size();
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

struct LogFolders {
  std::string log, error, debug, history;
};

LogFolders Folders() {
  const std::string log = workPaths().AppDir + "/log";
  return {log, log + "/error_log", log + "/debug_log", log + "/history_log"};
}

// The log, error_log and history_log folders, stopping at the first that cannot be made.
// `historyLine` is the device-log text for a history_log folder that fails.
bool MakeLogFolders(int icon, const LogFolders& f, const char* historyLine) {
  if (!CreateMultiDir(f.log)) {
    ErrorBox("create log directory failed!");
    return false;
  }
  if (!CreateMultiDir(f.error)) {
    ErrorBox("create error_log directory failed!");
    return false;
  }
  if (!CreateMultiDir(f.history)) {
    PrintDeviceLog(icon, historyLine, f.history.c_str());
    ErrorBox("create history_log directory fail!");
    return false;
  }
  return true;
}

// "NULL" stays, empty stays empty (the caller stops), anything else becomes its file name.
std::string NameOf(const std::string& text) {
  if (text == "NULL" || text.empty()) return text;
  return GetFileNameFromPath(text);
}

}  // namespace

bool WriteLogFile(int icon, const std::string& errorText, const std::string& middleText,
                  const std::string& logText) {
  const std::string stamp = Format(LocalNow(), "%YY-%mM-%dD-%Hh-%Mm-%Ss");
  const std::string iconText = std::to_string(icon);
  const LogFolders f = Folders();
  if (!MakeLogFolders(icon, f, "create directory:%s failed!\r\n")) return false;

  std::string file;
  if (!errorText.empty()) {
    file = f.error + "/" + stamp + "-icon-" + iconText + ".txt";
  } else {
    if (!CreateMultiDir(f.debug)) {
      PrintDeviceLog(icon, "create directory:%s failed!\r\n", f.debug.c_str());
      return false;
    }
    file = f.debug + "/" + stamp + "-icon-" + iconText + ".txt";
  }

  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    ErrorBox("create log file failed!");
    return false;
  }
  if (!WriteAll(fd, logText) || ::fsync(fd) != 0 || !WriteAll(fd, middleText) || ::fsync(fd) != 0) {
    ::close(fd);
    return false;
  }
  if (!WriteAll(fd, errorText) || ::fsync(fd) != 0) {
    ::close(fd);
    ErrorBox("write log file failed!");
    return false;
  }
  return ::close(fd) == 0;
}

void SaveDeviceLog(int icon) {
  const std::string text = DeviceLogText(icon);
  if (text.empty()) return;
  WriteLogFile(icon, "", "", text);
  SetDeviceLogText(icon, "");
}

int WriteHistoryLog(int icon, const std::string& mac, const std::string& keyNowCont,
                    const std::string& keyMax, const std::string& keyName,
                    const std::string& imageName, const std::string& timeConsuming) {
  const struct tm now = LocalNow();
  const std::string date = Format(now, "%YY-%mM-%dD");
  const std::string time = Format(now, "%Hh-%Mm-%Ss");
  const std::string iconText = std::to_string(icon);

  const std::string key = NameOf(keyName);
  if (key.empty()) return 0;
  const std::string image = NameOf(imageName);
  if (image.empty()) return 0;
  const std::string count =
      keyNowCont == "NULL" ? keyNowCont : std::to_string(std::atoi(keyNowCont.c_str()) - 1);

  const LogFolders f = Folders();
  if (!MakeLogFolders(icon, f, "create directory:%s fail!\r\n")) return 0;

  const std::string file = f.history + "/" + date + "-TreadCont-" + iconText + "-.txt";
  const std::string line = "Thread=" + iconText + ",MAC=" + mac + ",KeyNowCont=" + count +
                           ",KeyMax=" + keyMax + ",Time=" + time + ",KeyName=" + key +
                           ",ImageNam=" + image + ",time consuming=" + timeConsuming + "\r\n";

  int fd;
  if (!FileExists(file)) {
    fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      ErrorBox("create history file fail!");
      return 0;
    }
    if (!WriteAll(fd, line)) {
      ::close(fd);
      ErrorBox("write history file fail!");
      return 0;
    }
  } else {
    fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
      ErrorBox("create history file failed!");
      return 0;
    }
    if (!WriteAll(fd, line)) {
      ::close(fd);
      ErrorBox("write history file failed!");
      return 0;
    }
  }
  const bool flushed = ::fsync(fd) == 0;
  ::close(fd);
  return flushed ? 1 : 0;
}

}  // namespace station
