#include "Platform/Linux/Sandbox.h"

#include <fcntl.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

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

// Denies `call` (by name, as the library knows it) with `errnum`. Names the library or the
// architecture does not know are skipped: there is no such call to make.
void deny(scmp_filter_ctx filter, const char* call, int errnum) {
  int number = ::seccomp_syscall_resolve_name(call);
  if (number == __NR_SCMP_ERROR) return;
  ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(errnum), number, 0);
}

// Installs the call filter with libseccomp. False when the kernel has no seccomp filters, in
// which case nothing has changed.
bool filterCalls() {
  scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ALLOW);
  if (filter == nullptr) return false;
  for (const char* call : {"execve", "execveat"}) deny(filter, call, EACCES);
    // Reading or steering another process. The sanitizers' leak check stops the process's own
    // threads with ptrace at exit.
#if !defined(__SANITIZE_ADDRESS__)
  deny(filter, "ptrace", EPERM);
#endif
  for (const char* call : {"process_vm_readv", "process_vm_writev"}) deny(filter, call, EPERM);
  // io_uring makes sockets and opens files past this filter.
  deny(filter, "io_uring_setup", EPERM);
  // Owner, mode and length of files by path: Landlock guards none of them on every kernel.
  for (const char* call : {"truncate", "chmod", "fchmodat", "chown", "lchown", "fchownat"}) {
    deny(filter, call, EPERM);
  }
  // Sockets: local datagram ones only (the journal's). Stream sockets would reach the user's
  // session bus and the services on it, which can start programs.
  ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(socket), 1,
                     SCMP_A0(SCMP_CMP_NE, AF_UNIX));
  for (scmp_datum_t type : {SOCK_STREAM, SOCK_SEQPACKET}) {
    ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(socket), 1,
                       SCMP_A1(SCMP_CMP_MASKED_EQ, 0xf, type));
  }
  bool loaded = ::seccomp_load(filter) == 0;
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
  outcome.calls = filterCalls();
  return outcome;
}

}  // namespace tamberlo::Sandbox
