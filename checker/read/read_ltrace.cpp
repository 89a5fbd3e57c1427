// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// ltrace's report, as `ltrace -f -o FILE` writes it: one library call a
// line, in strace's syntax; what __errno_location returns is errno's
// address in 0.7.3 and its value in 0.7.91, and stands for it either way.
// -S adds the system calls, "SYS_write(1, ...) = 7" (0.7.3) or
// "write@SYS(1, ...) = 7" (0.7.91), each inside the library call that made
// it: they are the library's own, and left aside.
#include "read/report.h"

namespace probes {

std::string read_ltrace(std::string_view text, std::vector<Process> &out) {
  return read_lines(text, out, [](const std::string &line, Call &call) {
    const std::size_t system = line.find("@SYS(");
    if (call.name.rfind("SYS_", 0) == 0 ||
        (system != std::string::npos && line.find('(') == system + 4))
      return Keep::kSkip;
    if (call.name == "__errno_location" && call.has_result)
      call.result = "ERRNO";  // an address, or errno's value in 0.7.91
    return Keep::kCall;
  });
}

}  // namespace probes
