// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// qemu-user's log of system calls, as `qemu-x86_64 -strace -D FILE` writes
// it: "PID name(args) = result", strings decoded and buffers as addresses,
// errors as "-1 errno=9 (Bad file descriptor)". A forked child's half of
// clone comes as a line " = 0" of its own, and exit_group shows no result.
// What the program writes goes into the log where the log is its standard
// output, as when that was closed before qemu opened the log.
#include <cstdlib>
#include <string>

#include "report.h"

namespace probes {

std::string read_qemu(std::string_view text, std::vector<Process> &out) {
  std::vector<Lines> lines;
  std::string problem = split_processes(text, lines);
  if (!problem.empty()) return problem;
  for (const Lines &process : lines) {
    Process read{process.pid, {}};
    for (const std::string &line : process.lines) {
      const std::size_t first = line.find_first_not_of(' ');
      if (first != std::string::npos && line[first] == '=')
        continue;  // the child's half of clone
      Call call = parse_call(line);
      // Some pointers come in decimal (pread64(4, 274919869408, ...), and
      // in qemu 10 arch_prctl(4098, ..., -140620743602384)): a number past
      // 32 bits is an address.
      for (Arg &arg : call.args) {
        if (arg.kind == Arg::kNumber &&
            arg.text.size() - (arg.text[0] == '-' ? 1 : 0) > 10) {
          arg.kind = Arg::kAddress;
          arg.text = "ADDR";
        }
      }
      const std::size_t error = call.result.find(" errno=");
      if (call.is_call && error != std::string::npos) {
        const long long number =
            std::strtoll(call.result.c_str() + error + 7, nullptr, 10);
        call.result = result_with_error(
            std::strtoll(call.result.c_str(), nullptr, 10), number);
      }
      if (call.is_call && (call.name == "exit_group" || call.name == "exit") &&
          !call.has_result) {
        call.has_result = true;  // it does not return
        call.result = "?";
      }
      call.text = render(call);
      read.calls.push_back(std::move(call));
    }
    out.push_back(std::move(read));
  }
  return "";
}

}  // namespace probes
