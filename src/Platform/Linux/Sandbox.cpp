#include "Platform/Linux/Sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace tamberlo::Sandbox {
namespace {

// Landlock's interface, spelled out here: the C library has no wrappers, and the kernel headers
// of older systems lack the later rights. Each ABI version only adds to the one before.
namespace landlock {
constexpr uint32_t kCreateRulesetVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;

constexpr uint64_t kExecute = 1ULL << 0;
constexpr uint64_t kWriteFile = 1ULL << 1;
constexpr uint64_t kReadFile = 1ULL << 2;
constexpr uint64_t kReadDir = 1ULL << 3;
constexpr uint64_t kRemoveFile = 1ULL << 5;
constexpr uint64_t kMakeReg = 1ULL << 8;
constexpr uint64_t kMakeSym = 1ULL << 12;
constexpr uint64_t kRefer = 1ULL << 13;                   // ABI 2
constexpr uint64_t kTruncate = 1ULL << 14;                // ABI 3
constexpr uint64_t kIoctlDev = 1ULL << 15;                // ABI 5
constexpr uint64_t kNetBindTcp = 1ULL << 0;               // ABI 4
constexpr uint64_t kNetConnectTcp = 1ULL << 1;            // ABI 4
constexpr uint64_t kScopeAbstractUnixSocket = 1ULL << 0;  // ABI 6
constexpr uint64_t kScopeSignal = 1ULL << 1;              // ABI 6

// Every file-system right of ABI 1: execute up to making symbolic links.
constexpr uint64_t kFsAbi1 = (kMakeSym << 1) - 1;
// The rights that only apply to files, not to the folders beneath which they stand.
constexpr uint64_t kFileOnly = kExecute | kWriteFile | kReadFile | kTruncate | kIoctlDev;

struct RulesetAttr {
  uint64_t handledAccessFs;
  uint64_t handledAccessNet;
  uint64_t scoped;
};

struct PathBeneathAttr {
  uint64_t allowedAccess;
  int32_t parentFd;
} __attribute__((packed));
}  // namespace landlock

// ioprio_set's `which` for one process (linux/ioprio.h, missing from older systems).
constexpr scmp_datum_t kIoprioWhoProcess = 1;

// The rights of Landlock ABI `abi` that a ruleset handles: every right that ABI knows. Whatever a
// rule does not grant is then refused.
landlock::RulesetAttr handledBy(long abi) {
  using namespace landlock;
  RulesetAttr attr{kFsAbi1, 0, 0};
  if (abi >= 2) attr.handledAccessFs |= kRefer;
  if (abi >= 3) attr.handledAccessFs |= kTruncate;
  if (abi >= 4) attr.handledAccessNet = kNetBindTcp | kNetConnectTcp;
  if (abi >= 5) attr.handledAccessFs |= kIoctlDev;
  if (abi >= 6) attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
  return attr;
}

// Adds a rule granting `access` (as far as the ruleset handles it) beneath `path`. A path that
// cannot be opened gets no rule.
void grant(int ruleset, const landlock::RulesetAttr& handled, const std::string& path,
           uint64_t access) {
  int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) access &= landlock::kFileOnly;
  landlock::PathBeneathAttr rule{access & handled.handledAccessFs, fd};
  ::syscall(SYS_landlock_add_rule, ruleset, landlock::kRulePathBeneath, &rule, 0);
  ::close(fd);
}

// Limits file access to `grants` with Landlock. False when the kernel has no Landlock (too old,
// or left out or switched off), in which case nothing has changed.
bool restrictFileAccess(const Grants& grants) {
  using namespace landlock;
  long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion);
  if (abi < 1) return false;
  RulesetAttr handled = handledBy(abi);
  int ruleset =
      static_cast<int>(::syscall(SYS_landlock_create_ruleset, &handled, sizeof handled, 0));
  if (ruleset < 0) return false;
  if (grants.readWrite) {
    grant(ruleset, handled, *grants.readWrite,
          kReadFile | kReadDir | kWriteFile | kMakeReg | kRemoveFile | kTruncate);
  }
  for (const std::string& path : grants.readOnly)
    grant(ruleset, handled, path, kReadFile | kReadDir);
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' runtime reads the process's own maps and threads at exit.
  grant(ruleset, handled, "/proc/self", kReadFile | kReadDir);
#endif
  bool restricted = ::syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
  ::close(ruleset);
  return restricted;
}

// One call the filter lets through: `call` (libseccomp's number), where every comparison in
// `when` holds (none: with any arguments), and only where `applies`.
struct Allowed {
  int call;
  std::vector<scmp_arg_cmp> when;
  const char* reason;
  bool applies = true;
};

// Comparisons of argument 0, one per alternative, that together hold for every descriptor but
// `fd`: the numbers below it, and the aligned blocks of numbers above it up to 2^32. Each one
// also needs the argument's high 32 bits clear (which the kernel drops from a descriptor), so
// `fd` with high bits set matches none. (libseccomp takes one comparison per argument in a rule.)
std::vector<scmp_arg_cmp> descriptorsOtherThan(uint64_t fd) {
  std::vector<scmp_arg_cmp> alternatives = {SCMP_A0(SCMP_CMP_LT, fd)};
  constexpr uint64_t kEnd = 1ULL << 32;
  for (uint64_t start = fd + 1; start < kEnd;) {
    uint64_t size = start & (~start + 1);  // the largest block aligned at `start`
    while (start + size > kEnd) size >>= 1;
    alternatives.push_back(SCMP_A0(SCMP_CMP_MASKED_EQ, ~(size - 1), start));
    start += size;
  }
  return alternatives;
}

// Every call the host makes once it is confined, and why. Calls that only work on paths are kept
// to the Downloads folder by Landlock; a call named nowhere here fails with ENOSYS.
std::vector<Allowed> allowedCalls(const Grants& grants) {
  const scmp_datum_t self = static_cast<scmp_datum_t>(::getpid());
  const bool listening = grants.listener.has_value();
  const scmp_datum_t listener = listening ? static_cast<scmp_datum_t>(*grants.listener) : 0;
  std::vector<Allowed> calls = {
    // Files, beneath the Landlock rules.
    {SCMP_SYS(read), {}, "messages, part files, the launcher's answers"},
    {SCMP_SYS(readv), {}, "reads into several buffers (C library, event loop)"},
    {SCMP_SYS(pread64), {}, "reading a part file at an offset"},
    {SCMP_SYS(write), {}, "replies, chunks, the log on standard error"},
    {SCMP_SYS(writev), {}, "writes from several buffers (C library, event loop)"},
    {SCMP_SYS(pwrite64), {}, "a chunk at its offset"},
    {SCMP_SYS(lseek), {}, "positions in part files"},
    {SCMP_SYS(open), {}, "files in Downloads (Landlock decides)"},
    {SCMP_SYS(openat), {}, "files and folders in Downloads (Landlock decides)"},
    {SCMP_SYS(close), {}, "every descriptor the host opens"},
    {SCMP_SYS(fstat), {}, "checks of an open part file"},
    {SCMP_SYS(stat), {}, "whether a name is taken"},
    {SCMP_SYS(lstat), {}, "whether a name is taken, links not followed"},
    {SCMP_SYS(newfstatat), {}, "whether a name is taken, checks of open files"},
    {SCMP_SYS(statx), {}, "a file's birth time for searches"},
    {SCMP_SYS(readlink), {}, "resolving links in the Downloads path"},
    {SCMP_SYS(readlinkat), {}, "resolving links in the Downloads path"},
    {SCMP_SYS(getdents64), {}, "listing Downloads"},
    {SCMP_SYS(rename), {}, "end's move where the no-replace rename is missing"},
    {SCMP_SYS(renameat), {}, "end's move where the no-replace rename is missing"},
    {SCMP_SYS(renameat2), {}, "end's move without replacing"},
    {SCMP_SYS(link), {}, "end's no-replace move on file systems without renameat2"},
    {SCMP_SYS(linkat), {}, "end's no-replace move on file systems without renameat2"},
    {SCMP_SYS(unlink), {}, "abort, and end's clean-up"},
    {SCMP_SYS(unlinkat), {}, "abort, and end's clean-up"},
    {SCMP_SYS(ftruncate), {}, "cutting back a part file through its descriptor"},
    {SCMP_SYS(fsync), {}, "a saved file on disk before end answers"},
    {SCMP_SYS(fdatasync), {}, "a saved file on disk before end answers"},
    {SCMP_SYS(flock), {}, "one writer at a time: a part file's lock, taken without waiting"},
    {SCMP_SYS(fsetxattr), {}, "a saved file's origin attributes, on its descriptor"},
    {SCMP_SYS(fcntl), {SCMP_A1(SCMP_CMP_EQ, F_GETFL)}, "descriptor flags (C library)"},
    {SCMP_SYS(fcntl), {SCMP_A1(SCMP_CMP_EQ, F_SETFL)}, "non-blocking descriptors"},
    {SCMP_SYS(fcntl), {SCMP_A1(SCMP_CMP_EQ, F_GETFD)}, "close-on-exec flag (C library)"},
    {SCMP_SYS(fcntl), {SCMP_A1(SCMP_CMP_EQ, F_SETFD)}, "close-on-exec flag (opendir)"},
    {SCMP_SYS(fcntl), {SCMP_A1(SCMP_CMP_EQ, F_SETPIPE_SZ)}, "a larger input pipe"},
    {SCMP_SYS(ioctl), {SCMP_A1(SCMP_CMP_EQ, FIONBIO)}, "non-blocking sockets (event loop)"},
    // Memory and threads.
    {SCMP_SYS(brk), {}, "the heap"},
    {SCMP_SYS(mmap), {}, "the heap's large blocks"},
    {SCMP_SYS(munmap), {}, "the heap's large blocks"},
    {SCMP_SYS(mremap), {}, "the heap's large blocks"},
    {SCMP_SYS(mprotect), {}, "thread stacks' guard pages"},
    {SCMP_SYS(madvise), {}, "the heap returning memory"},
    {SCMP_SYS(futex), {}, "locks and waits between threads"},
    {SCMP_SYS(clone),
     {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)},
     "threads only: never a new process"},
    {SCMP_SYS(set_robust_list), {}, "a new thread's start"},
    {SCMP_SYS(rseq), {}, "a new thread's start"},
    {SCMP_SYS(sched_yield), {}, "waits between threads"},
    {SCMP_SYS(exit), {}, "a thread's end"},
    {SCMP_SYS(exit_group), {}, "the host's end"},
    {SCMP_SYS(getpid), {}, "its own id"},
    {SCMP_SYS(gettid), {}, "its own thread's id"},
    {SCMP_SYS(getrandom), {}, "hash seeds"},
    {SCMP_SYS(clock_gettime), {}, "waits' deadlines"},
    {SCMP_SYS(clock_getres), {}, "waits' deadlines"},
    {SCMP_SYS(gettimeofday), {}, "the time"},
    {SCMP_SYS(nanosleep), {}, "short waits"},
    {SCMP_SYS(clock_nanosleep), {}, "short waits"},
    {SCMP_SYS(restart_syscall), {}, "a wait resumed after a signal"},
    // Its own settings only: never another process of the user.
    {SCMP_SYS(prlimit64), {SCMP_A0(SCMP_CMP_EQ, 0)}, "its own limits"},
    {SCMP_SYS(prlimit64), {SCMP_A0(SCMP_CMP_EQ, self)}, "its own limits"},
    {SCMP_SYS(setpriority),
     {SCMP_A0(SCMP_CMP_EQ, PRIO_PROCESS), SCMP_A1(SCMP_CMP_EQ, 0)},
     "its own priority"},
    {SCMP_SYS(setpriority),
     {SCMP_A0(SCMP_CMP_EQ, PRIO_PROCESS), SCMP_A1(SCMP_CMP_EQ, self)},
     "its own priority"},
    {SCMP_SYS(sched_setaffinity), {SCMP_A0(SCMP_CMP_EQ, 0)}, "its own processors"},
    {SCMP_SYS(sched_getaffinity), {SCMP_A0(SCMP_CMP_EQ, 0)}, "its own processors"},
    {SCMP_SYS(ioprio_set),
     {SCMP_A0(SCMP_CMP_EQ, kIoprioWhoProcess), SCMP_A1(SCMP_CMP_EQ, 0)},
     "its own disk priority"},
    // Signals to itself only.
    {SCMP_SYS(rt_sigaction), {}, "signal handling"},
    {SCMP_SYS(rt_sigprocmask), {}, "signal handling"},
    {SCMP_SYS(rt_sigreturn), {}, "signal handling"},
    {SCMP_SYS(sigaltstack), {}, "signal handling"},
    {SCMP_SYS(tgkill), {SCMP_A0(SCMP_CMP_EQ, self)}, "abort() and raise() to itself"},
    // Waiting on descriptors and its launcher.
    {SCMP_SYS(poll), {}, "the launcher's answer within its wait"},
    {SCMP_SYS(ppoll), {}, "the launcher's answer within its wait"},
    {SCMP_SYS(wait4), {}, "collecting its ended launcher (its only child)"},
    // Sockets it already holds: no address given, so only their peer is reached.
    {SCMP_SYS(sendto), {SCMP_A4(SCMP_CMP_EQ, 0)}, "the launcher's requests, journal lines"},
    {SCMP_SYS(recvfrom), {}, "the launcher's answers"},
    {SCMP_SYS(recvmsg), {}, "reads on connections (event loop)"},
    // sendmsg's address sits in memory the filter cannot read: never on the journal's
    // socket, where an address would reach any other local datagram socket (rows added below).
    {SCMP_SYS(sendmsg), {}, "writes on connections (event loop)", !grants.journal},
    // The one listening socket, when granted, and its event loop.
    {SCMP_SYS(listen), {SCMP_A0(SCMP_CMP_EQ, listener)}, "listening, on demand", listening},
    {SCMP_SYS(accept), {SCMP_A0(SCMP_CMP_EQ, listener)}, "connections", listening},
    {SCMP_SYS(accept4), {SCMP_A0(SCMP_CMP_EQ, listener)}, "connections", listening},
    {SCMP_SYS(getsockname), {}, "the listener's port", listening},
    {SCMP_SYS(getpeername), {}, "a connection's peer", listening},
    {SCMP_SYS(getsockopt), {}, "socket errors and options (event loop)", listening},
    {SCMP_SYS(setsockopt), {}, "options of connections (event loop)", listening},
    {SCMP_SYS(shutdown), {}, "ending a connection", listening},
    {SCMP_SYS(epoll_create1), {}, "the event loop", listening},
    {SCMP_SYS(epoll_ctl), {}, "the event loop", listening},
    {SCMP_SYS(epoll_wait), {}, "the event loop", listening},
    {SCMP_SYS(epoll_pwait), {}, "the event loop", listening},
    {SCMP_SYS(eventfd2), {}, "waking the event loop", listening},
    {SCMP_SYS(timerfd_create), {}, "the event loop's timers", listening},
    {SCMP_SYS(timerfd_settime), {}, "the event loop's timers", listening},
    {SCMP_SYS(timerfd_gettime), {}, "the event loop's timers", listening},
#if defined(__SANITIZE_ADDRESS__)
    // The leak checker at exit: a helper process (clone without CLONE_THREAD) stops the
    // threads with ptrace and reads their registers and maps.
    {SCMP_SYS(clone), {}, "the leak checker's helper (sanitizer build)"},
    {SCMP_SYS(ptrace), {}, "the leak checker's helper (sanitizer build)"},
    {SCMP_SYS(prctl), {}, "the leak checker's helper (sanitizer build)"},
    {SCMP_SYS(getppid), {}, "the leak checker's helper (sanitizer build)"},
    {SCMP_SYS(kill), {}, "the leak checker's helper (sanitizer build)"},
    {SCMP_SYS(tgkill), {}, "the leak checker's helper (sanitizer build)"},
    {SCMP_SYS(sched_getaffinity), {}, "the sanitizers' runtime (sanitizer build)"},
    {SCMP_SYS(getrlimit), {}, "the sanitizers' runtime (sanitizer build)"},
    {SCMP_SYS(prlimit64), {}, "the sanitizers' runtime (sanitizer build)"},
    {SCMP_SYS(pipe2), {}, "the sanitizers' runtime (sanitizer build)"},
    {SCMP_SYS(getuid), {}, "the sanitizers' runtime (sanitizer build)"},
#endif
  };
  if (grants.journal) {
    for (const scmp_arg_cmp& other : descriptorsOtherThan(static_cast<uint64_t>(*grants.journal))) {
      calls.push_back(
          {SCMP_SYS(sendmsg), {other}, "writes on connections, never on the journal's"});
    }
  }
  return calls;
}

// Installs the call filter with libseccomp: the calls of allowedCalls() and nothing else, for
// this architecture only. False when the kernel has no seccomp filters, in which case nothing has
// changed.
bool filterCalls(const Grants& grants) {
  // ENOSYS, as for a call the kernel does not have: the C library then takes its fallbacks
  // (clone3, whose flags sit in memory the filter cannot read, falls back to clone).
  scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ERRNO(ENOSYS));
  if (filter == nullptr) return false;
  // The context holds the native architecture only: a call through another entry (32-bit x86,
  // x32 on x86-64) fails the same way and never reaches the rules.
  ::seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(ENOSYS));
  bool complete = true;
  for (const Allowed& allowed : allowedCalls(grants)) {
    // A call this architecture does not have (a pseudo number) needs no rule.
    if (!allowed.applies || allowed.call < 0) continue;
    complete &= ::seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, allowed.call,
                                         static_cast<unsigned>(allowed.when.size()),
                                         allowed.when.data()) == 0;
  }
  bool loaded = complete && ::seccomp_load(filter) == 0;
  ::seccomp_release(filter);
  return loaded;
}

}  // namespace

Outcome confine(const Grants& grants) {
  // Both restrictions need it; on its own it already keeps any program the process could start
  // from gaining rights through set-user-ID bits or file capabilities.
  ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  Outcome outcome;
  outcome.files = restrictFileAccess(grants);
  outcome.calls = filterCalls(grants);
  return outcome;
}

}  // namespace tamberlo::Sandbox
