// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// The calls that these programs make, each with its parameters: what each
// one is (a number, flags, a string the call reads ...), so that an argument
// is held against the reference by what it means, however an observer
// renders it, and whether the call uses it at all.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "calls/elf.h"

namespace probes {

enum class Type {
  kNumber,   // descriptors, sizes, counts, statuses: signed or unsigned
  kFlags,    // open's and clone's flags, AT_FDCWD: names or a number
  kMode,     // a file mode or umask's mask: octal, or any number
  kString,   // memory the call reads: a path, the bytes written, a format
  kBuffer,   // memory the call fills (read's): shown by its address
  kVector,   // writev's array of buffers
  kPointer,  // an address that the call keeps (clone's): any but NULL
  kAny,      // a value of printf's, whatever its conversion makes it
};

struct Parameter {
  std::string name;
  Type type;
};

// The parameters of a call, in the kernel's or the C library's order;
// nullptr when the call is none of these programs'.
const std::vector<Parameter> *parameters_of(std::string_view call);
// How many arguments a call takes: those of the table, or of the calls that
// the C library's start-up makes; kNoArity when unknown, or when the call
// takes any number (printf). A tracer that shows six registers for every
// call shows what was left in the rest.
constexpr std::size_t kNoArity = static_cast<std::size_t>(-1);
std::size_t arity_of(std::string_view call);
// Whether a call returns a process id (getpid's, fork's), and whether it
// makes a process: fork, vfork, clone, clone3, whose child's half returns 0.
bool returns_id(std::string_view call);
// The type of the INDEXth argument of a call that the C library makes on its
// own account (pread64's second is an address); kAny when not known.
Type startup_type(std::string_view call, std::size_t index);
bool makes_process(std::string_view call);
// The type of a call's result.
Type result_type(std::string_view call);
// The name by which the table knows a parameter that observers name
// otherwise (pathname for filename, newsp for child_stack ...).
std::string parameter_named(const std::string &name);
// Whether the call uses the parameter, given the values of its flags:
// openat's mode only when it creates, clone's tls only with CLONE_SETTLS.
// An argument that is not used may be shown with any value, or left out.
bool used(std::string_view call, const std::string &parameter, long long flags);

// Whether the call can return VALUE, or fail with ERROR (0: it did not):
// process ids are positive, a transfer of COUNT bytes (-1: not known) moves
// at most that many, a write of some at least one, the calls that return 0
// on success return 0, and the calls that every kernel has never fail with
// ENOSYS. For an observer whose results may come apart from their calls.
bool can_return(std::string_view call, long long value, long long error,
                long long count);

// A call that the C runtime makes on its own account at a process's end,
// after main has returned or exit was called: __cxa_finalize, which runs
// the destructors, through the PLT on aarch64, where a library-call
// observer sees it, and directly on x86-64, where none does.
bool at_exit_call(std::string_view call);

// Whether the call makes those at-exit calls before the process ends: the
// C library's exit does, the kernel's exit_group does not.
bool runs_at_exit(std::string_view call);

// "x86-64", "i386", "aarch64", "riscv64": the builds' and folders' name.
const char *abi_name(Abi abi);

// qemu-user's name of the processor: x86_64, i386, aarch64, riscv64.
const char *qemu_name(Abi abi);

// Whether this machine's processor runs the ABI's programs: its own, and
// i386's beside x86-64's where the kernel allows. The checker is built for
// this machine, so its own processor tells.
bool native(Abi abi);

// The ABI of the processes that this thread reads and judges: it numbers
// the calls and orders clone's arguments. x86-64's unless an AbiScope says.
class AbiScope {
 public:
  explicit AbiScope(Abi abi);
  ~AbiScope();
  AbiScope(const AbiScope &) = delete;
  AbiScope &operator=(const AbiScope &) = delete;

 private:
  Abi before_;
};

// Linux's system calls by number in the ABI read, for observers that name a
// call by its number (syscall_0x1, syscall_1): on x86-64, "write" for 1, ""
// when unknown.
std::string call_numbered(long long number);
std::string call_numbered(long long number, Abi abi);
// The number of the call NAME in ABI's table, or -1.
long long number_of(std::string_view name, Abi abi);

}  // namespace probes
