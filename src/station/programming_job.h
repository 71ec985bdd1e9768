#pragma once
// The programming job of one slot: reads the options, opens the board, runs the USB hardware
// setting, the procedure for the flash type, the key check, the factory data, the bad block
// table and the efuses, closes the board, writes the history line and shows the result.
#include <stop_token>

namespace station {

// The job's thread body. `stop` ends the job at its next wait or send, with the stop's own
// code. `removed` says that the slot's board has gone: the job's waits end at once and it ends
// with the code that its next exchange with the board reaches (the command wrapper cannot be
// written, when it is between exchanges); a job whose board has gone never ends as done.
void ThreadProgramDevice(int slot, std::stop_token stop, std::stop_token removed = {});

}  // namespace station
