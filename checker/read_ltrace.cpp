// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// ltrace's report, as `ltrace -f -o FILE` writes it: one library call a
// line, in strace's syntax. What the releases in use print differently is
// made one here: open's flags in decimal or hex, its absent mode (a leftover
// register), and errno's address or value.
#include <cstdlib>

#include "report.h"

namespace probes {

std::string read_ltrace(std::string_view text, std::vector<Process> &out) {
  std::vector<Lines> lines;
  std::string problem = split_processes(text, lines);
  if (!problem.empty()) return problem;
  constexpr long kCreate = 0100;  // O_CREAT: open has a mode only with it
  for (const Lines &process : lines) {
    Process read{process.pid, {}};
    for (const std::string &line : process.lines) {
      Call call = parse_call(line);
      if (call.name == "open" && call.args.size() == 3 &&
          call.args[0].kind == Arg::kString) {
        Arg &flags = call.args[1];
        const std::string &raw = flags.raw;  // 0xc1 or 193
        char *end = nullptr;
        const long value = std::strtol(raw.c_str(), &end, 0);
        if (!raw.empty() && end && *end == '\0' && value >= 0) {
          flags.kind = Arg::kNumber;
          flags.text = std::to_string(value);
          if (!(value & kCreate)) call.args[2].text = "-";
          call.text = render(call);
        }
      }
      if (call.name == "__errno_location" && call.has_result) {
        call.result = "ERRNO";
        call.text = render(call);
      }
      read.calls.push_back(std::move(call));
    }
    out.push_back(std::move(read));
  }
  return "";
}

}  // namespace probes
