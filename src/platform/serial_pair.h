#pragma once
// Virtual serial port pairs as the platform gives them: a holder process owns the hidden end of
// each pair for its whole life (so the visible path always opens and never blocks), and hands it
// to one client at a time over a local socket in the driver state.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace murvik::platform {

// Line settings in serial API codes: parity 0 none, 1 odd, 2 even, 3 mark, 4 space; stop bits
// 0 one, 2 two.
struct SerialLine {
  std::uint32_t baud = 9600;
  int byteSize = 8;
  int parity = 0;
  int stopBits = 0;
  // False when the device cannot keep data bits and parity (a pty forces 8 and none).
  bool formatObserved = true;
};

// An exclusive advisory lock on a file (created when missing), held until destruction.
class FileLock {
 public:
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool Locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

std::string PairSocketPath(const std::string& stateDir, int index);
std::string PairVisiblePath(const std::string& devDir, int comNumber);

// Runs the holder of pair index (visible path <devDir>/COM<comNumber>) until it is asked to
// quit. Answers at once with 0 when another holder of that pair runs; 1 on setup failure.
int RunPairHolder(const std::string& stateDir, const std::string& devDir, int index, int comNumber);
// Whether a holder answers on the pair's socket.
bool PairHolderRunning(const std::string& stateDir, int index);
// Asks the pair's holder to quit and waits (bounded) until its socket is gone.
bool StopPairHolder(const std::string& stateDir, int index);
// Starts a program in a session of its own, with no inherited descriptors, and does not wait.
bool StartDetached(const std::vector<std::string>& argv);

class HangupWatch;

// The hidden end, taken from its holder.
class PairHiddenEnd {
 public:
  PairHiddenEnd();
  ~PairHiddenEnd();
  PairHiddenEnd(const PairHiddenEnd&) = delete;
  PairHiddenEnd& operator=(const PairHiddenEnd&) = delete;

  // False (with a reason) when the holder does not answer or another client holds the end.
  bool Take(const std::string& stateDir, int index, std::string* errorText);
  // Gives the end back; the holder resumes draining it.
  void Release();
  bool IsOpen() const { return fd_ >= 0; }

  // Blocks until bytes arrive (answers their count) or stopFd is readable (answers 0); -1 on
  // failure. While no program has the visible end open it just waits.
  long Read(void* buf, std::size_t size, int stopFd);
  // Never blocks. Bytes the visible end has no room for yet wait in a backlog that Read's thread
  // writes out as the program reads; bytes beyond kBacklogLimit, and bytes while no program has
  // the visible end open, go nowhere. Answers the bytes taken, or -1.
  long Write(const void* bytes, std::size_t count);
  // The settings the program on the visible end last set; false when they cannot be read.
  bool Line(SerialLine* out) const;

  static constexpr std::size_t kBacklogLimit = 1 << 20;

 private:
  // Writes what the backlog holds until the pty has no room; drops it when nobody listens.
  void FlushBacklog();

  int fd_ = -1;
  int conn_ = -1;
  int wake_ = -1;  // tells Read's poll that the backlog has bytes
  std::unique_ptr<HangupWatch> watch_;
  std::mutex backlogMutex_;
  std::vector<std::uint8_t> backlog_;
  std::size_t backlogStart_ = 0;  // bytes of backlog_ already written
};

// Sets rate and character format of a serial device in one call (any integer rate).
bool SetSerialLine(int fd, const SerialLine& line);
bool GetSerialLine(int fd, SerialLine* out);

}  // namespace murvik::platform
