// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// strace's report, as `strace -f -o FILE` writes it: one system call a line,
// "name(args) = result", with the process id in front.
#include "report.h"

namespace probes {

void read_strace(const std::vector<Lines> &lines, std::vector<Process> &out) {
  for (const Lines &process : lines) {
    Process read{process.pid, {}};
    read.calls.reserve(process.lines.size());
    for (const std::string &line : process.lines)
      read.calls.push_back(parse_call(line));
    out.push_back(std::move(read));
  }
}

}  // namespace probes
