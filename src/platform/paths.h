#pragma once
// Where things live: the configuration directory, the driver folder and state, the visible
// serial paths. Each honours its environment override so tests and the demo stay self-contained.
#include <string>

namespace murvik::platform {

// $MURVIK_HOME, else $XDG_CONFIG_HOME/murvik3, else ~/.config/murvik3.
std::string ConfigDir();
// $MURVIK_DRIVER_STATE, else /var/lib/murvik for root, else $XDG_STATE_HOME/murvik (~/.local/state/murvik).
std::string DriverStateDir();
// $MURVIK_DEV_DIR, else /dev/murvik for root, else $XDG_RUNTIME_DIR/murvik (or the state dir).
std::string DevDir();
// The folder of the running program file.
std::string ProgramDir();
// "driver/" beside the program binaries.
std::string DriverFolder();
// Joins two path parts with one "/".
std::string JoinPath(const std::string& a, const std::string& b);
// Creates a directory and its parents (mode 0700 for new ones); false on failure.
bool MakeDirs(const std::string& path);
bool FileExists(const std::string& path);

// Writes data to path atomically: temp file in the same folder, fsync, rename, fsync of the
// folder. On failure the old file is untouched and errorText says why.
bool WriteFileAtomic(const std::string& path, const std::string& data, int mode, std::string* errorText);
// Reads a whole file; false when it cannot be read.
bool ReadFile(const std::string& path, std::string* data);

}  // namespace murvik::platform
