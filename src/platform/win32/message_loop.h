// The thread's pending messages handled where a long task or a menu cannot
// wait for the main loop.
#pragma once

namespace kestrix::win32 {

// Handles every message waiting in this thread's queue. False when it met
// WM_QUIT: the quit is posted again, for the main loop to end on, and the
// rest of the queue waits.
bool DispatchPendingMessages();

}  // namespace kestrix::win32
