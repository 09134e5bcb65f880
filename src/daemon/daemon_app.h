#pragma once
namespace murvik {
// murvikd: loads the configuration, starts the named modules and reports their state until a
// termination signal (exit 0) or until every started session has stopped on its own (exit 1).
int RunDaemon(int argc, char** argv);
}  // namespace murvik
