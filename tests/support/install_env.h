#pragma once
// Helpers for the tests of the programming procedures: the error logs that failed steps leave
// in the station folder.
#include <string>
#include <vector>

namespace testenv {

// The error-log files under `appDir`/log/error_log, joined in name order, and removed, so that
// the next failure of the same second is read on its own.
std::string TakeErrorLogs(const std::string& appDir);

// True when `text` holds `lines` in this order (each after the end of the one before).
bool HasInOrder(const std::string& text, const std::vector<std::string>& lines, std::string* missing = nullptr);

}  // namespace testenv
