// Implemented in platform/base/thread.cpp.
// What the port layer needs from the thread layer (platform/base/thread.cpp): the calling thread's
// wake-up descriptor to put in its poll sets, and the checkpoint at which a suspended thread
// parks. Suspend and terminate signal the descriptor, so a thread asleep in a port wait wakes,
// drains it, and passes the checkpoint again.
//
// Index: ThreadWakeFd DrainWake SignalWake ThreadCheckpoint
#pragma once

namespace platform::internal {

// The calling thread's eventfd (made on first use, also for threads the platform did not start).
int ThreadWakeFd();
// Empties an eventfd after poll reported it readable.
void DrainWake(int fd);
// Makes an eventfd readable.
void SignalWake(int fd);
// Parks while a suspend of the calling thread is pending; false once the thread has been asked
// to stop (then every platform wait of it returns at once).
bool ThreadCheckpoint();

}  // namespace platform::internal
