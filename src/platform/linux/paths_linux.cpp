#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/paths.h"

namespace murvik::platform {

namespace {
std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}
std::string HomeDir() {
  std::string h = Env("HOME");
  return h.empty() ? std::string("/tmp") : h;
}
}  // namespace

std::string JoinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (a.back() == '/') return a + b;
  return a + "/" + b;
}

std::string ConfigDir() {
  std::string v = Env("MURVIK_HOME");
  if (!v.empty()) return v;
  v = Env("XDG_CONFIG_HOME");
  if (!v.empty()) return JoinPath(v, "murvik3");
  return JoinPath(HomeDir(), ".config/murvik3");
}

std::string DriverStateDir() {
  std::string v = Env("MURVIK_DRIVER_STATE");
  if (!v.empty()) return v;
  if (geteuid() == 0) return "/var/lib/murvik";
  v = Env("XDG_STATE_HOME");
  if (!v.empty()) return JoinPath(v, "murvik");
  return JoinPath(HomeDir(), ".local/state/murvik");
}

std::string DevDir() {
  std::string v = Env("MURVIK_DEV_DIR");
  if (!v.empty()) return v;
  if (geteuid() == 0) return "/dev/murvik";
  v = Env("XDG_RUNTIME_DIR");
  if (!v.empty()) return JoinPath(v, "murvik");
  return JoinPath(DriverStateDir(), "dev");
}

std::string ProgramDir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<std::size_t>(n));
  auto slash = p.rfind('/');
  return slash == std::string::npos ? std::string(".") : p.substr(0, slash == 0 ? 1 : slash);
}

std::string DriverFolder() { return JoinPath(ProgramDir(), "driver/"); }

bool MakeDirs(const std::string& path) {
  if (path.empty()) return false;
  std::string cur;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    cur = path.substr(0, next);
    if (!cur.empty() && mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST) return false;
    pos = next + 1;
  }
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0;
}

bool WriteFileAtomic(const std::string& path, const std::string& data, int mode, std::string* errorText) {
  auto fail = [&](const std::string& what, int err) {
    if (errorText) *errorText = what + ": " + std::strerror(err);
    return false;
  };
  auto slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return fail("cannot create " + tmp, errno);
  fchmod(fd, static_cast<mode_t>(mode));  // the umask must not widen nor narrow it
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t w = write(fd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      close(fd);
      unlink(tmp.c_str());
      return fail("cannot write " + tmp, e);
    }
    p += w;
    left -= static_cast<std::size_t>(w);
  }
  if (fsync(fd) != 0) {
    int e = errno;
    close(fd);
    unlink(tmp.c_str());
    return fail("cannot sync " + tmp, e);
  }
  if (close(fd) != 0) {
    int e = errno;
    unlink(tmp.c_str());
    return fail("cannot close " + tmp, e);
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    unlink(tmp.c_str());
    return fail("cannot replace " + path, e);
  }
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return true;
}

bool ReadFile(const std::string& path, std::string* data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return false;
  *data = ss.str();
  return true;
}

}  // namespace murvik::platform
