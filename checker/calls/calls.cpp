// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
#include "calls/calls.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <utility>

namespace probes {
namespace {

// What a call returns on success.
enum class Returns : std::uint8_t { kAny, kId, kZero, kCount };

// (cppcheck does not see the members read through the table's map.)
struct Signature {
  // cppcheck-suppress unusedStructMember
  std::vector<Parameter> parameters;
  // cppcheck-suppress unusedStructMember
  Type result;
  Returns returns = Returns::kAny;
};

// The calls from main on, as system calls (strace's view) and as calls into
// the C library (ltrace's).
const std::map<std::string, Signature, std::less<>> kCalls = {
    {"umask", {{{"mask", Type::kMode}}, Type::kMode}},
    {"open",
     {{{"filename", Type::kString},
       {"flags", Type::kFlags},
       {"mode", Type::kMode}},
      Type::kNumber}},
    {"openat",
     {{{"dfd", Type::kFlags},
       {"filename", Type::kString},
       {"flags", Type::kFlags},
       {"mode", Type::kMode}},
      Type::kNumber}},
    {"close", {{{"fd", Type::kNumber}}, Type::kNumber, Returns::kZero}},
    {"read",
     {{{"fd", Type::kNumber}, {"buf", Type::kBuffer}, {"count", Type::kNumber}},
      Type::kNumber,
      Returns::kCount}},
    {"write",
     {{{"fd", Type::kNumber}, {"buf", Type::kString}, {"count", Type::kNumber}},
      Type::kNumber,
      Returns::kCount}},
    {"writev",
     {{{"fd", Type::kNumber}, {"vec", Type::kVector}, {"vlen", Type::kNumber}},
      Type::kNumber}},
    {"clone",
     {{{"flags", Type::kFlags},
       {"child_stack", Type::kPointer},
       {"parent_tidptr", Type::kPointer},
       {"child_tidptr", Type::kPointer},
       {"tls", Type::kPointer}},
      Type::kNumber,
      Returns::kId}},
    {"fork", {{}, Type::kNumber, Returns::kId}},
    {"vfork", {{}, Type::kNumber, Returns::kId}},
    {"getpid", {{}, Type::kNumber, Returns::kId}},
    {"getppid", {{}, Type::kNumber, Returns::kId}},
    {"exit_group", {{{"error_code", Type::kNumber}}, Type::kNumber}},
    {"exit", {{{"status", Type::kNumber}}, Type::kNumber}},
    {"_exit", {{{"status", Type::kNumber}}, Type::kNumber}},
    {"printf",
     {{{"format", Type::kString},
       {"arg1", Type::kAny},
       {"arg2", Type::kAny},
       {"arg3", Type::kAny}},
      Type::kNumber}},
    {"puts", {{{"s", Type::kString}}, Type::kNumber}},
    {"__errno_location", {{}, Type::kPointer}},
    // What the C library does before main and around fork.
    {"rt_sigprocmask",
     {{{"how", Type::kNumber},
       {"set", Type::kPointer},
       {"oset", Type::kPointer},
       {"sigsetsize", Type::kNumber}},
      Type::kNumber,
      Returns::kZero}},
    {"set_robust_list",
     {{{"head", Type::kPointer}, {"len", Type::kNumber}},
      Type::kNumber,
      Returns::kZero}},
    {"munmap",
     {{{"addr", Type::kPointer}, {"len", Type::kNumber}},
      Type::kNumber,
      Returns::kZero}},
    {"mprotect",
     {{{"start", Type::kPointer},
       {"len", Type::kNumber},
       {"prot", Type::kFlags}},
      Type::kNumber,
      Returns::kZero}},
    {"prlimit64",
     {{{"pid", Type::kNumber},
       {"resource", Type::kFlags},
       {"new_rlim", Type::kPointer},
       {"old_rlim", Type::kPointer}},
      Type::kNumber,
      Returns::kZero}},
    {"ugetrlimit",  // i386's getrlimit
     {{{"resource", Type::kFlags}, {"rlim", Type::kPointer}},
      Type::kNumber,
      Returns::kZero}},
    {"set_tid_address",
     {{{"tidptr", Type::kPointer}}, Type::kNumber, Returns::kId}},
    {"arch_prctl",
     {{{"option", Type::kFlags}, {"arg2", Type::kPointer}},
      Type::kNumber,
      Returns::kZero}},
};

// The calls that every kernel has, and the C library may try without.
const char *const kEverywhere[] = {"write", "read",   "close",   "openat",
                                   "open",  "getpid", "getppid", "clone",
                                   "fork",  "umask"};

const std::map<std::string, std::string> kAliases = {
    {"clone_flags", "flags"},
    {"newsp", "child_stack"},
    {"stack", "child_stack"},
    {"pathname", "filename"},
    {"path", "filename"},
    {"parent_tid", "parent_tidptr"},
    {"child_tid", "child_tidptr"},
    {"dirfd", "dfd"},
    {"iov", "vec"},
    {"iovcnt", "vlen"},
    {"status", "error_code"},
    {"cmask", "mask"}};

// open's and clone's flags that make the call use a further argument.
constexpr long long kCreates = 0100 | 020200000;  // O_CREAT, O_TMPFILE
constexpr long long kSetTls = 0x80000;
constexpr long long kParentTid = 0x100000 | 0x1000;    // ..._SETTID, PIDFD
constexpr long long kChildTid = 0x1000000 | 0x200000;  // SETTID, CLEARTID

// x86-64's numbers of the calls these programs and their C libraries make.
const std::vector<std::pair<int, const char *>> kNumbers = {
    {0, "read"},          {1, "write"},
    {2, "open"},          {3, "close"},
    {4, "stat"},          {5, "fstat"},
    {6, "lstat"},         {8, "lseek"},
    {9, "mmap"},          {10, "mprotect"},
    {11, "munmap"},       {12, "brk"},
    {13, "rt_sigaction"}, {14, "rt_sigprocmask"},
    {16, "ioctl"},        {17, "pread64"},
    {20, "writev"},       {21, "access"},
    {39, "getpid"},       {56, "clone"},
    {57, "fork"},         {58, "vfork"},
    {59, "execve"},       {60, "exit"},
    {61, "wait4"},        {72, "fcntl"},
    {89, "readlink"},     {95, "umask"},
    {97, "getrlimit"},    {110, "getppid"},
    {158, "arch_prctl"},  {186, "gettid"},
    {202, "futex"},       {218, "set_tid_address"},
    {231, "exit_group"},  {257, "openat"},
    {262, "newfstatat"},  {273, "set_robust_list"},
    {302, "prlimit64"},   {318, "getrandom"},
    {332, "statx"},       {334, "rseq"},
    {435, "clone3"}};

// i386's numbers of the same calls, where they differ in name too.
const std::vector<std::pair<int, const char *>> kNumbers386 = {
    {1, "exit"},
    {2, "fork"},
    {3, "read"},
    {4, "write"},
    {5, "open"},
    {6, "close"},
    {11, "execve"},
    {20, "getpid"},
    {33, "access"},
    {45, "brk"},
    {54, "ioctl"},
    {60, "umask"},
    {64, "getppid"},
    {85, "readlink"},
    {91, "munmap"},
    {114, "wait4"},
    {120, "clone"},
    {122, "uname"},
    {125, "mprotect"},
    {140, "_llseek"},
    {146, "writev"},
    {174, "rt_sigaction"},
    {175, "rt_sigprocmask"},
    {180, "pread64"},
    {190, "vfork"},
    {191, "ugetrlimit"},
    {192, "mmap2"},
    {195, "stat64"},
    {196, "lstat64"},
    {197, "fstat64"},
    {221, "fcntl64"},
    {224, "gettid"},
    {240, "futex"},
    {243, "set_thread_area"},
    {252, "exit_group"},
    {258, "set_tid_address"},
    {295, "openat"},
    {300, "fstatat64"},
    {311, "set_robust_list"},
    {340, "prlimit64"},
    {355, "getrandom"},
    {383, "statx"},
    {384, "arch_prctl"},
    {386, "rseq"},
    {435, "clone3"}};

// The numbers of aarch64 and riscv64, which share the kernel's generic
// table: neither has open, fork or the older calls beside the *at ones.
const std::vector<std::pair<int, const char *>> kNumbersGeneric = {
    {17, "getcwd"},
    {25, "fcntl"},
    {29, "ioctl"},
    {48, "faccessat"},
    {56, "openat"},
    {57, "close"},
    {62, "lseek"},
    {63, "read"},
    {64, "write"},
    {66, "writev"},
    {67, "pread64"},
    {78, "readlinkat"},
    {79, "newfstatat"},
    {80, "fstat"},
    {93, "exit"},
    {94, "exit_group"},
    {96, "set_tid_address"},
    {98, "futex"},
    {99, "set_robust_list"},
    {134, "rt_sigaction"},
    {135, "rt_sigprocmask"},
    {160, "uname"},
    {163, "getrlimit"},
    {166, "umask"},
    {167, "prctl"},
    {172, "getpid"},
    {173, "getppid"},
    {178, "gettid"},
    {214, "brk"},
    {215, "munmap"},
    {216, "mremap"},
    {220, "clone"},
    {221, "execve"},
    {222, "mmap"},
    {226, "mprotect"},
    {233, "madvise"},
    {260, "wait4"},
    {261, "prlimit64"},
    {278, "getrandom"},
    {291, "statx"},
    {293, "rseq"},
    {435, "clone3"}};

const std::vector<std::pair<int, const char *>> &numbers(Abi abi) {
  switch (abi) {
    case Abi::kI386:
      return kNumbers386;
    case Abi::kAarch64:
    case Abi::kRiscv64:
      return kNumbersGeneric;
    default:
      return kNumbers;
  }
}

// i386's, aarch64's and riscv64's clone takes the thread pointer before the
// child's id pointer; x86-64's, after.
const std::vector<Parameter> kCloneTlsFirst = {
    {"flags", Type::kFlags},
    {"child_stack", Type::kPointer},
    {"parent_tidptr", Type::kPointer},
    {"tls", Type::kPointer},
    {"child_tidptr", Type::kPointer}};

thread_local Abi reading = Abi::kX86_64;

}  // namespace

bool at_exit_call(std::string_view call) {
  return call == "__cxa_finalize";
}

bool runs_at_exit(std::string_view call) {
  return call == "exit";
}

const char *abi_name(Abi abi) {
  switch (abi) {
    case Abi::kI386:
      return "i386";
    case Abi::kAarch64:
      return "aarch64";
    case Abi::kRiscv64:
      return "riscv64";
    default:
      return "x86-64";
  }
}

const char *qemu_name(Abi abi) {
  return abi == Abi::kX86_64 ? "x86_64" : abi_name(abi);
}

bool native(Abi abi) {
#if defined(__aarch64__)
  return abi == Abi::kAarch64;
#elif defined(__riscv)
  return abi == Abi::kRiscv64;
#else
  return abi == Abi::kX86_64 || abi == Abi::kI386;
#endif
}

AbiScope::AbiScope(Abi abi) : before_(reading) {
  reading = abi;
}
AbiScope::~AbiScope() {
  reading = before_;
}

const std::vector<Parameter> *parameters_of(std::string_view call) {
  if (reading != Abi::kX86_64 && call == "clone") return &kCloneTlsFirst;
  const auto found = kCalls.find(call);
  return found == kCalls.end() ? nullptr : &found->second.parameters;
}

// The calls that the C library makes on its own account, before main and at
// the program's end, which the table above leaves out: the type of each
// argument by a letter, n a number, f flags, s a string, p an address (a
// pointer, or memory that the call fills). An observer's start-up is held
// against its own report of the empty program, so that an address in any
// base is an address, and a register past the arguments is not compared.
const std::map<std::string, std::string_view, std::less<>> kStartup = {
    {"access", "sn"},         {"arch_prctl", "fp"},     {"brk", "p"},
    {"execve", "spp"},        {"faccessat", "fsn"},     {"fcntl", "nfn"},
    {"fcntl64", "nfn"},       {"fstat", "np"},          {"fstat64", "np"},
    {"fstatat64", "fspf"},    {"futex", "pfnppn"},      {"getrandom", "pnf"},
    {"gettid", ""},           {"ioctl", "nfp"},         {"lseek", "nnn"},
    {"_llseek", "nnnpn"},     {"madvise", "pnf"},       {"mmap", "pnffnn"},
    {"mmap2", "pnffnn"},      {"mremap", "pnnfp"},      {"newfstatat", "fspf"},
    {"pread64", "npnn"},      {"readlink", "spn"},      {"rseq", "pnfn"},
    {"rt_sigaction", "nppn"}, {"set_thread_area", "p"}, {"stat", "sp"},
    {"stat64", "sp"},         {"statx", "fsfnp"},       {"uname", "p"},
    {"wait4", "npnp"},        {"clone3", "pn"}};

// Calls of the C library's start-up that return an address, whose
// parameters the table does not hold.
constexpr std::string_view kReturnAddresses[] = {"mmap", "mmap2", "brk",
                                                 "mremap"};

std::size_t arity_of(std::string_view call) {
  if (const std::vector<Parameter> *known = parameters_of(call))
    return call == "printf" ? kNoArity : known->size();
  const auto found = kStartup.find(call);
  return found == kStartup.end() ? kNoArity : found->second.size();
}

Type startup_type(std::string_view call, std::size_t index) {
  const auto found = kStartup.find(call);
  if (found == kStartup.end() || index >= found->second.size())
    return Type::kAny;
  switch (found->second[index]) {
    case 'n':
      return Type::kNumber;
    case 'f':
      return Type::kFlags;
    case 's':
      return Type::kString;
    default:
      return Type::kPointer;
  }
}

bool returns_id(std::string_view call) {
  const auto found = kCalls.find(call);
  return call == "clone3" ||
         (found != kCalls.end() && found->second.returns == Returns::kId);
}

bool makes_process(std::string_view call) {
  return call == "fork" || call == "vfork" || call == "clone" ||
         call == "clone3";
}

Type result_type(std::string_view call) {
  const auto found = kCalls.find(call);
  if (found != kCalls.end()) return found->second.result;
  for (const std::string_view name : kReturnAddresses)
    if (name == call) return Type::kPointer;
  return Type::kAny;
}

std::string parameter_named(const std::string &name) {
  const auto found = kAliases.find(name);
  return found == kAliases.end() ? name : found->second;
}

bool used(std::string_view call, const std::string &parameter,
          long long flags) {
  if ((call == "open" || call == "openat") && parameter == "mode")
    return (flags & kCreates) != 0;
  if (call != "clone") return true;
  if (parameter == "tls") return (flags & kSetTls) != 0;
  if (parameter == "parent_tidptr") return (flags & kParentTid) != 0;
  if (parameter == "child_tidptr") return (flags & kChildTid) != 0;
  return true;
}

bool can_return(std::string_view call, long long value, long long error,
                long long count) {
  constexpr long long kNoSys = 38;
  if (error)
    return error != kNoSys ||
           std::find(std::begin(kEverywhere), std::end(kEverywhere), call) ==
               std::end(kEverywhere);
  const auto found = kCalls.find(call);
  switch (found == kCalls.end() ? Returns::kAny : found->second.returns) {
    case Returns::kId:
      return value > 0;
    case Returns::kZero:
      return value == 0;
    case Returns::kCount:
      return count < 0 || (value >= (call == "write" && count > 0 ? 1 : 0) &&
                           value <= count);
    case Returns::kAny:
      break;
  }
  return true;
}

std::string call_numbered(long long number) {
  return call_numbered(number, reading);
}

long long number_of(std::string_view name, Abi abi) {
  for (const auto &[known, called] : numbers(abi))
    if (name == called) return known;
  return -1;
}

std::string call_numbered(long long number, Abi abi) {
  for (const auto &[known, name] : numbers(abi))
    if (known == number) return name;
  return "";
}

}  // namespace probes
