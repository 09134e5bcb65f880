#pragma once
// Termination requests (SIGINT, SIGTERM) as a readable descriptor for an event loop.
namespace murvik::platform {

// Blocks the signals for the calling thread and the threads it starts later, and answers a
// descriptor that becomes readable when one arrives; -1 on failure. Call before starting threads.
int OpenTerminationSignalFd();
// Consumes one pending signal; answers its number, or 0.
int ReadTerminationSignal(int fd);

}  // namespace murvik::platform
