#pragma once
// Helpers for the tests of the programming procedures: the temporary folder pointed at a
// test's own folder (the read-back files of compare mode go there), and the error logs that
// failed steps leave in the station folder.
#include <string>
#include <vector>

namespace testenv {

// Sets an environment variable for the lifetime of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

// The error-log files under `appDir`/log/error_log, joined in name order, and removed, so that
// the next failure of the same second is read on its own.
std::string TakeErrorLogs(const std::string& appDir);

// True when `text` holds `lines` in this order (each after the end of the one before).
bool HasInOrder(const std::string& text, const std::vector<std::string>& lines, std::string* missing = nullptr);

}  // namespace testenv
