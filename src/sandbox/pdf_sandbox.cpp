// findlark-pdf-sandbox [--as BYTES] [--cpu SECONDS] -- PROGRAM ARGS...
//
// Runs PROGRAM (the PDF text extractor) with standard input and output as the caller set them
// up, after taking away what a compromised extractor could use: no new privileges, no
// capabilities, Landlock (read-only access to the few paths needed to start, no writes, no
// TCP, no signals or abstract sockets outside), a seccomp filter (no sockets, ptrace, new
// processes or a second exec) and resource limits. Every protection the kernel lacks is
// skipped; the rest still apply. Exit 125 when the program could not be started.
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <vector>

#ifdef FINDLARK_HAVE_SECCOMP
#include <seccomp.h>
#endif

namespace {

// Landlock's interface, spelled out: the system headers may predate the ABI the kernel has.
constexpr long kSysCreateRuleset = 444;
constexpr long kSysAddRule = 445;
constexpr long kSysRestrictSelf = 446;
constexpr uint32_t kCreateRulesetVersion = 1;
constexpr int kRulePathBeneath = 1;

constexpr uint64_t kFsExecute = 1 << 0;
constexpr uint64_t kFsReadFile = 1 << 2;
constexpr uint64_t kFsReadDir = 1 << 3;

struct RulesetAttr {
  uint64_t handledFs;
  uint64_t handledNet;
  uint64_t scoped;
};

struct __attribute__((packed)) PathBeneath {
  uint64_t allowed;
  int32_t parentFd;
};

// Every file-system right the ABI knows, every network right and every scope: what is handled
// and not granted by a rule is denied.
uint64_t HandledFs(int abi) {
  uint64_t all = (1 << 13) - 1;    // ABI 1: execute .. make symlink
  if (abi >= 2) all |= 1 << 13;    // refer
  if (abi >= 3) all |= 1 << 14;    // truncate
  if (abi >= 5) all |= 1 << 15;    // ioctl on devices
  return all;
}

void Allow(int ruleset, const std::string& path, uint64_t rights) {
  const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) rights &= ~kFsReadDir;  // files take no dir rights
  PathBeneath rule{rights, fd};
  syscall(kSysAddRule, ruleset, kRulePathBeneath, &rule, 0);
  close(fd);
}

// The ELF interpreter of `program`: the kernel opens it for execution too.
std::string Interpreter(const std::string& program) {
  const int fd = open(program.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string interp;
  Elf64_Ehdr eh;
  if (pread(fd, &eh, sizeof eh, 0) == sizeof eh && memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 &&
      eh.e_ident[EI_CLASS] == ELFCLASS64 && eh.e_phentsize == sizeof(Elf64_Phdr)) {
    for (int i = 0; i < eh.e_phnum && i < 64; ++i) {
      Elf64_Phdr ph;
      if (pread(fd, &ph, sizeof ph, static_cast<off_t>(eh.e_phoff + i * sizeof ph)) != sizeof ph) break;
      if (ph.p_type != PT_INTERP || ph.p_filesz == 0 || ph.p_filesz > 4096) continue;
      interp.resize(ph.p_filesz);
      if (pread(fd, interp.data(), interp.size(), static_cast<off_t>(ph.p_offset)) !=
          static_cast<ssize_t>(interp.size())) {
        interp.clear();
      }
      interp.resize(strnlen(interp.c_str(), interp.size()));
      break;
    }
  }
  close(fd);
  return interp;
}

void RestrictFileSystem(const std::string& program) {
  const long abi = syscall(kSysCreateRuleset, nullptr, 0, kCreateRulesetVersion);
  if (abi < 1) return;
  RulesetAttr attr{HandledFs(static_cast<int>(abi)), 0, 0};
  size_t size = sizeof attr.handledFs;
  if (abi >= 4) {
    attr.handledNet = 3;  // bind and connect on TCP
    size += sizeof attr.handledNet;
  }
  if (abi >= 6) {
    attr.scoped = 3;  // abstract unix sockets and signals outside this sandbox
    size += sizeof attr.scoped;
  }
  const int ruleset = static_cast<int>(syscall(kSysCreateRuleset, &attr, size, 0));
  if (ruleset < 0) return;
  const uint64_t read = kFsReadFile | kFsReadDir;
  for (const char* dir : {"/usr", "/lib", "/lib64", "/etc/ld.so.cache", "/etc/localtime"})
    Allow(ruleset, dir, read);
  Allow(ruleset, program, kFsReadFile | kFsExecute);
  const std::string interp = Interpreter(program);
  if (!interp.empty()) Allow(ruleset, interp, kFsReadFile | kFsExecute);
  syscall(kSysRestrictSelf, ruleset, 0);
  close(ruleset);
}

void DropCapabilities() {
  __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  syscall(SYS_capset, &head, data);
}

#ifdef FINDLARK_HAVE_SECCOMP
// Allows everything but what a text extractor never needs. `program` is the one exec allowed:
// the filter compares execve's path argument with this very pointer, which means nothing once
// the new program runs (Landlock also grants execute on that program alone).
void InstallFilter(const char* program) {
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
  if (ctx == nullptr) return;
  const auto deny = SCMP_ACT_ERRNO(EPERM);
  for (int call : {SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(ptrace),
                   SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev), SCMP_SYS(execveat),
                   SCMP_SYS(fork), SCMP_SYS(vfork), SCMP_SYS(setsid), SCMP_SYS(setpgid),
                   SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(pivot_root), SCMP_SYS(chroot),
                   SCMP_SYS(unshare), SCMP_SYS(setns), SCMP_SYS(keyctl), SCMP_SYS(add_key),
                   SCMP_SYS(bpf), SCMP_SYS(perf_event_open), SCMP_SYS(userfaultfd),
                   SCMP_SYS(init_module), SCMP_SYS(finit_module), SCMP_SYS(kexec_load),
                   SCMP_SYS(mknod), SCMP_SYS(mknodat), SCMP_SYS(io_uring_setup)}) {
    seccomp_rule_add(ctx, deny, call, 0);
  }
  // Threads only: a new process could leave the process group that the time limit kills.
  seccomp_rule_add(ctx, deny, SCMP_SYS(clone), 1, SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0));
  seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);  // libc falls back to clone
  seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(openat2), 0);
  // Nothing opened for writing, should Landlock be missing.
  for (int flag : {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC}) {
    const auto mask = static_cast<scmp_datum_t>(flag);
    seccomp_rule_add(ctx, deny, SCMP_SYS(open), 1, SCMP_A1(SCMP_CMP_MASKED_EQ, mask, mask));
    seccomp_rule_add(ctx, deny, SCMP_SYS(openat), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, mask, mask));
  }
  seccomp_rule_add(ctx, deny, SCMP_SYS(creat), 0);
  seccomp_rule_add(ctx, deny, SCMP_SYS(execve), 1,
                   SCMP_A0(SCMP_CMP_NE, reinterpret_cast<scmp_datum_t>(program)));
  seccomp_load(ctx);
  seccomp_release(ctx);
}
#endif

void Limit(int resource, rlim_t soft, rlim_t hard) {
  const rlimit lim{soft, hard};
  setrlimit(resource, &lim);
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long long addressSpace = 1ULL << 30;
  unsigned long long cpuSeconds = 5;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) return 125;
    if (arg == "--as") addressSpace = strtoull(argv[++i], nullptr, 10);
    else if (arg == "--cpu") cpuSeconds = strtoull(argv[++i], nullptr, 10);
    else return 125;
  }
  if (i >= argc) return 125;
  const char* program = argv[i];

  // Only standard input, output and error go on.
  syscall(SYS_close_range, 3U, ~0U, 0U);
  Limit(RLIMIT_AS, addressSpace, addressSpace);
  Limit(RLIMIT_CPU, cpuSeconds, cpuSeconds + 1);
  Limit(RLIMIT_FSIZE, 0, 0);
  Limit(RLIMIT_NOFILE, 64, 64);
  Limit(RLIMIT_CORE, 0, 0);
  Limit(RLIMIT_MEMLOCK, 0, 0);
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return 125;
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  DropCapabilities();
  RestrictFileSystem(program);
#ifdef FINDLARK_HAVE_SECCOMP
  InstallFilter(program);
#endif
  char* const noEnv[] = {nullptr};
  execve(program, argv + i, noEnv);
  return 125;
}
