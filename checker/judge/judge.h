// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// Judging: a report's calls held against the reference's, argument by
// argument, under the rules of what may honestly vary. A difference is shown
// as a unified diff of lines, reference against report.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "calls/elf.h"
#include "read/report.h"

namespace probes {

// A verdict's word: passed (with what was not shown), FAILED with the
// differences, or skipped with the reason.
enum class Word : std::uint8_t { kPassed, kFailed, kSkipped };
inline const char *word_text(Word word) {
  return word == Word::kPassed   ? "passed"
         : word == Word::kFailed ? "FAILED"
                                 : "skipped";
}

// Each process's calls as the reference shows them: in a system-call view
// without what the C library does on its own account, and with the process
// ids that calls return named for what they are (PID, CHILD, PARENT).
// An observer that runs the program in its own process (DECODING's
// in_process) is the program: its parent is this checker's process, or a
// wrapper that it started.
// Without exits shown, "+++ exited" lines are left out.
std::vector<std::vector<Call>> normalise(const std::vector<Process> &processes,
                                         const Decoding &decoding,
                                         pid_t observer);

// What a report did not show of the calls that stood for the reference's:
// those parts were not checked.
struct Unshown {
  std::size_t strings = 0;    // shown by an address, or cut short
  std::size_t buffers = 0;    // an array of buffers shown by its address
  std::size_t arguments = 0;  // left out
  std::size_t results = 0;    // left out
  std::size_t exits = 0;      // a report that shows no process's exit
  std::string first;          // the first such call: "WANT, shown as GOT"
  bool any() const {
    return strings + buffers + arguments + results + exits > 0;
  }
  // "3 strings, 1 result"
  std::string said() const;
  void add(const Unshown &other);
};

// Whether a report's call stands for a reference call: arguments placed by
// each call's parameters and compared by what they mean, whatever their
// rendering (O_WRONLY|O_CREAT or 0x41, -1 EBADF or -9); an argument the
// call does not use passed over. What the report does not show (a string
// as its address, a string cut short, an argument or result left out) is
// added to UNSHOWN when the call stands for the reference's.
bool same(const Call &want, const Call &got, const Decoding &decoding,
          Unshown *unshown = nullptr);

// The calls that start a process (execve, musl's __libc_start_main) name the
// program: the start-up is compared without them.
bool starts_process(const Call &call);
// A child's own half of the call that made it (fork() = 0, or ltrace's
// "<... fork resumed> ) = 0"), which strace leaves out and other observers
// show: passed over as no call of the child's.
bool child_half(const Call &call);
// The call or line that ends a process.
bool ends_process(const Call &call);

// strace -y names the file behind a descriptor. Where that file is the
// situation's own (its folder CWD, or a file opened there by a name relative
// to it), it must be the right one: one line for each that is not.
std::vector<std::string> path_problems(const std::vector<Process> &processes,
                                       const std::string &cwd);

// Nothing when the report's calls stand for the reference's; else a heading
// ("WHAT differ:") and a unified diff.
// What the report's matching calls did not show is added to UNSHOWN.
// The first STARTUP calls of WANT are the empty program's under this
// observer: a difference there is said to be one.
std::vector<std::string> difference(const std::string &what,
                                    const std::vector<Call> &want,
                                    const std::vector<Call> &got,
                                    const Decoding &decoding, Unshown &unshown,
                                    std::size_t startup = 0);
// The classic faults of a tracer, each in one line, where a report that
// differs shows them: its report's descriptor left open in the program,
// children not followed, two processes' lines run into each other.
// IN_PROCESS: the observer runs in the program's own process.
// Where a report names the calls of a process of ABI (i386) by another's
// numbers (x86-64's, as perf trace does): its umask, 60, shown as exit, 60
// on x86-64. Two such names, none of them a call that WANT holds, tell it;
// "" where they do not.
std::string other_numbers(const std::vector<Call> &want,
                          const std::vector<Call> &got, Abi abi);
std::vector<std::string> causes(const std::vector<std::vector<Call>> &want,
                                const std::vector<std::vector<Call>> &got,
                                bool in_process = false);

std::vector<std::string> difference(const std::string &what,
                                    const std::vector<std::string> &want,
                                    const std::vector<std::string> &got);

}  // namespace probes
