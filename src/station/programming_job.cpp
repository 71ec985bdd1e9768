#include "station/programming_job.h"

#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "foundation/station_state.h"
#include "platform/clock.h"

namespace station {

void ThreadProgramDevice(int slot, std::stop_token stop) {
  plat::ScopedStopToken current(stop);
  PrintDeviceLog(slot, "ThreadProgramDevice with device index(%d) \r\n", slot);
  // The job's stages come next; until then a job ends as a failed one, never as done.
  ReportResult(11, slot, "programming job");
}

}  // namespace station
