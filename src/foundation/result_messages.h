#pragma once
// Result codes of the board steps and their one reporter. Every step of a slot's job ends in
// a ResultCode and hands it to ReportResult, which shows the outcome on the slot (picture and
// log text) and, when the step failed, saves the slot's log text to a log file.
#include <cstdint>
#include <string>

namespace station {

// 100 is success; 0 to 24 are the errors of the message table; any other value is unknown.
using ResultCode = int32_t;
constexpr ResultCode kResultDone = 100;
constexpr int kResultErrorCount = 25;

// The operator text of a code, ending in CR LF; empty for a code outside the table.
const char* ResultMessage(ResultCode code);

// The lines that frame a step's part of the slot's log text.
inline constexpr const char* kReportOpeningRule = "\r\n==========================================\r\n";
inline constexpr const char* kReportLogHeader = "===============debug log===================\r\n\r\n";
inline constexpr const char* kReportLogEnd = "\r\n===============debug log end==================\r\n";
inline constexpr const char* kReportClosingRule = "==========================================\r\n\r\n";

// Reports the outcome of one step of slot `slot`'s job, named `stepName`:
// - errors 0 to 24 show the slot's failure picture for the code;
// - 100 appends the framed success message to the slot's log text, which stays;
// - anything else saves the slot's log text with the step line and the message to a log file
//   (the error-log folder, or the debug-log folder for an unknown code), then empties the log
//   text and clears the slot's Busy flag.
// Safe to call from every slot's job thread at once; each call touches only its own slot.
void ReportResult(ResultCode code, int slot, const std::string& stepName);

}  // namespace station
