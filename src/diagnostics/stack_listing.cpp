#include "diagnostics/stack_listing.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#if defined(__GLIBC__)
#define MURVIK_STACKS_GLIBC 1
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <typeinfo>
#endif

#if defined(MURVIK_HAVE_BACKWARD) && defined(MURVIK_STACKS_GLIBC)
#include <backward.hpp>
#endif

namespace murvik {

namespace {
constexpr int kMaxFrames = 64;

struct ThrowSite {
  void* frames[kMaxFrames];
  int count = 0;
};

std::atomic<bool> g_tracking{false};
thread_local ThrowSite t_lastThrow;

#if defined(MURVIK_HAVE_BACKWARD) && defined(MURVIK_STACKS_GLIBC)
std::string BaseName(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
#endif

// frames[] hold return addresses; the caller asks for them one byte back so that each lands
// inside its call instruction and resolves to the calling line.
std::string Listing(void* const* frames, int count) {
  std::string out;
  auto addLine = [&out](const std::string& line) {
    if (!out.empty()) out += "\r\n";
    out += line;
  };
#if defined(MURVIK_HAVE_BACKWARD) && defined(MURVIK_STACKS_GLIBC)
  void* adjusted[kMaxFrames];
  for (int i = 0; i < count; ++i) adjusted[i] = static_cast<char*>(frames[i]) - 1;
  backward::TraceResolver resolver;
  resolver.load_addresses(adjusted, count);
  for (int i = 0; i < count; ++i) {
    backward::ResolvedTrace t = resolver.resolve(backward::ResolvedTrace(backward::Trace(adjusted[i], i)));
    const std::string module = BaseName(t.object_filename);
    auto describe = [&](const backward::ResolvedTrace::SourceLoc& loc, const std::string& fallbackFn) {
      std::string line = "[" + module + "] ";
      line += !loc.function.empty() ? loc.function : (!fallbackFn.empty() ? fallbackFn : std::string("??"));
      if (!loc.filename.empty()) line += " (" + loc.filename + ":" + std::to_string(loc.line) + ")";
      return line;
    };
    // Innermost first: an inlined body, then the functions it was inlined into.
    addLine(describe(t.source, t.object_function));
    for (const auto& inl : t.inliners) addLine(describe(inl, std::string()));
  }
#elif defined(MURVIK_STACKS_GLIBC)
  char** symbols = backtrace_symbols(frames, count);
  if (symbols == nullptr) return out;
  for (int i = 0; i < count; ++i) addLine(symbols[i]);
  std::free(symbols);
#else
  (void)frames;
  (void)count;
#endif
  return out;
}

#if defined(MURVIK_STACKS_GLIBC)
void FatalSignalHandler(int sig) {
  char head[64];
  int n = std::snprintf(head, sizeof head, "Fatal signal %d (%s)\n", sig, strsignal(sig));
  if (n > 0) {
    ssize_t w = write(STDERR_FILENO, head, static_cast<std::size_t>(n));
    (void)w;
  }
#if defined(MURVIK_HAVE_BACKWARD)
  // Resolving is not async-signal-safe, but the process is lost anyway and names are worth it.
  std::string text = CurrentStackListing();
  text += "\n";
  ssize_t w = write(STDERR_FILENO, text.data(), text.size());
  (void)w;
#else
  void* frames[kMaxFrames];
  int count = backtrace(frames, kMaxFrames);
  backtrace_symbols_fd(frames, count, STDERR_FILENO);
#endif
  signal(sig, SIG_DFL);
  raise(sig);
}
#endif
}  // namespace

void StartExceptionStackTracking() { g_tracking.store(true, std::memory_order_relaxed); }

bool StackListingNamesFunctions() {
#if defined(MURVIK_HAVE_BACKWARD) && defined(MURVIK_STACKS_GLIBC)
  return true;
#else
  return false;
#endif
}

std::string LastExceptionStackListing() {
  // Copied first: resolving may itself throw and catch, which records a new site.
  ThrowSite site = t_lastThrow;
  return Listing(site.frames, site.count);
}

std::string CurrentStackListing() {
#if defined(MURVIK_STACKS_GLIBC)
  void* frames[kMaxFrames];
  int count = backtrace(frames, kMaxFrames);
  // Frame 0 is this function.
  return count > 1 ? Listing(frames + 1, count - 1) : std::string();
#else
  return std::string();
#endif
}

void InstallFatalSignalHandlers() {
#if defined(MURVIK_STACKS_GLIBC)
  // A stack overflow leaves no stack for the handler; give it one of its own.
  static char altStack[1024 * 1024];  // symbol resolution needs room
  stack_t ss{};
  ss.ss_sp = altStack;
  ss.ss_size = sizeof altStack;
  sigaltstack(&ss, nullptr);
  // Load the unwinder now rather than inside a crashed process.
  void* warm[1];
  backtrace(warm, 1);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
    struct sigaction sa {};
    sa.sa_handler = FatalSignalHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_ONSTACK | SA_RESETHAND | SA_NODEFER;
    sigaction(sig, &sa, nullptr);
  }
#endif
}

}  // namespace murvik

#if defined(MURVIK_STACKS_GLIBC)
// Every throw in the program passes here once tracking is on: the throw site is recorded
// (addresses only, cheap) before the real throw starts unwinding.
extern "C" void __cxa_throw(void* object, std::type_info* type, void (*destructor)(void*)) {
  using RealThrow = void (*)(void*, std::type_info*, void (*)(void*));
  static const auto real = reinterpret_cast<RealThrow>(dlsym(RTLD_NEXT, "__cxa_throw"));
  if (murvik::g_tracking.load(std::memory_order_relaxed)) {
    auto& site = murvik::t_lastThrow;
    void* frames[murvik::kMaxFrames + 1];
    int count = backtrace(frames, murvik::kMaxFrames + 1);
    // Frame 0 is this function.
    site.count = count > 1 ? count - 1 : 0;
    std::memcpy(site.frames, frames + 1, sizeof(void*) * static_cast<std::size_t>(site.count));
  }
  if (real == nullptr) std::abort();
  real(object, type, destructor);
  __builtin_unreachable();
}
#endif
