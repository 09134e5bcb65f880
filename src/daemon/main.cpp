#include "daemon/daemon_app.h"

int main(int argc, char** argv) { return murvik::RunDaemon(argc, argv); }
