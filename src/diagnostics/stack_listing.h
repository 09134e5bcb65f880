#pragma once
// Stack listings for the crash text: the call stack recorded when the last exception was thrown,
// and a handler that prints the stack of a fatal signal.
#include <string>

namespace murvik {

// Starts recording the throw site of every exception (process-wide, idempotent).
void StartExceptionStackTracking();
// The call stack recorded for the last exception thrown on this thread, one frame per line
// ("\r\n" between lines); empty when none was recorded.
std::string LastExceptionStackListing();
// The current call stack in the same format.
std::string CurrentStackListing();
// Whether listings carry function names, source files and lines (an unwinder with symbol
// resolution was built in); without one they hold raw addresses or nothing.
bool StackListingNamesFunctions();
// Prints the stack to stderr on SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT, then dies of the signal.
void InstallFatalSignalHandlers();

}  // namespace murvik
