#pragma once
// Every programming job of a slot starts and stops here, whoever asks (the slot's button on the
// window's thread, auto burn on the binder's thread): one starter per slot, so that a slot never
// runs two jobs. A job that must give way is asked to stop, never killed: it ends at its next
// wait or send, closes its own device and lets go of its locks. A job whose board has gone is
// told so instead, and ends with the failure its board's absence gives.
#include <cstdint>

namespace station {

// Starts a new job on `slot` without waiting: a job of the slot that still runs is asked to
// stop, and the new job's thread waits for it to end before it prepares the slot and programs
// the board. False for a slot out of range.
bool StartSlotJob(int slot);

// Asks the slot's job to stop. With `wait`, also waits until it has ended: never call that from
// a thread the job may be waiting for.
void StopSlotJob(int slot, bool wait);

// Tells the slot's job (and one still waiting for its predecessor) that its board has gone,
// then waits until every job of the slot has ended, at most `boundMs` of real time and no
// longer than the calling thread's wait token allows. The job is not stopped: its
// waits end at once and its next transfer fails as one to a gone board does. True when no job
// of the slot runs any more.
bool EndSlotJobOfRemovedBoard(int slot, int64_t boundMs);

// Asks every slot's job to stop, then waits for all of them (shut-down).
void StopAllSlotJobs();

// True while a job of the slot runs (or waits for its predecessor).
bool SlotJobRunning(int slot);

// How many jobs were started on the slot so far.
uint64_t SlotJobStarts(int slot);

}  // namespace station
