#pragma once
// The programming job of one slot: reads the options, opens the board, runs the USB hardware
// setting, the procedure for the flash type, the key check, the factory data, the bad block
// table and the efuses, closes the board, writes the history line and shows the result.
#include <stop_token>

namespace station {

// The job's thread body. `stop` ends the job at its next wait or send.
void ThreadProgramDevice(int slot, std::stop_token stop);

}  // namespace station
