// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// Judging: a report's calls held against the reference's, argument by
// argument, under the rules of what may honestly vary. A difference is shown
// as a unified diff of lines, reference against report.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

#include "report.h"

namespace probes {

// Each process's calls as the reference shows them: in a system-call view
// without what the C library does on its own account, and with the process
// ids that calls return named for what they are (PID, CHILD, PARENT).
// An observer that runs the program in its own process (DECODING's
// in_process) is the program: its parent is this checker's process.
// Without exits shown, "+++ exited" lines are left out.
std::vector<std::vector<Call>> normalise(const std::vector<Process> &processes,
                                         const Decoding &decoding,
                                         pid_t observer);

// Whether a report's call stands for a reference call: the same but for
// strings cut short by the observer's string limit; and, as far as the
// format decodes, with arguments placed by each call's parameters and
// compared by value, an address for a string or buffer, and what the format
// leaves out left aside.
bool same(const Call &want, const Call &got, const Decoding &decoding);

// The calls that start a process (execve, musl's __libc_start_main) name the
// program: the start-up is compared without them.
bool starts_process(const Call &call);
// The call or line that ends a process.
bool ends_process(const Call &call);

// strace -y names the file behind a descriptor. Where that file is the
// situation's own (its folder CWD, or a file opened there by a name relative
// to it), it must be the right one: one line for each that is not.
std::vector<std::string> path_problems(const std::vector<Process> &processes,
                                       const std::string &cwd);

// Nothing when the report's calls stand for the reference's; else a heading
// ("WHAT differs:") and a unified diff.
std::vector<std::string> difference(const std::string &what,
                                    const std::vector<Call> &want,
                                    const std::vector<Call> &got,
                                    const Decoding &decoding);
std::vector<std::string> difference(const std::string &what,
                                    const std::vector<std::string> &want,
                                    const std::vector<std::string> &got);

}  // namespace probes
