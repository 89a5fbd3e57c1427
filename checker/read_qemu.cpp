// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// qemu-user's log of system calls, as `qemu-x86_64 -strace -D FILE` writes
// it: "PID name(args) = result", strings decoded and buffers as addresses,
// errors as "-1 errno=9 (Bad file descriptor)". A forked child's half of
// clone comes as a line " = 0" of its own, and whichever process is first
// ends the clone's line: its result is the one that is not 0. exit_group
// shows no result.
// What the program writes goes into the log where the log is its standard
// output, as when that was closed before qemu opened the log.
#include <cstdlib>
#include <string>

#include "report.h"

namespace probes {

std::string read_qemu(std::string_view text, std::vector<Process> &out) {
  // The two halves of a clone: the child's " = 0" alone, written whenever
  // the child first runs. Where it ended a line of the parent's that was
  // still waiting for its result, that result comes alone instead.
  std::vector<std::string> joined;
  std::size_t clone_line = std::string::npos;
  std::string forker;  // "PID " of the process that cloned
  while (!text.empty()) {
    std::string line(next_line(text));
    const std::size_t first = line.find_first_not_of(' ');
    if (first != std::string::npos && line[first] == '=') {
      const std::string result = line.substr(first);
      for (std::size_t i = joined.size(); result != "= 0" &&
                                          clone_line != std::string::npos &&
                                          i-- > clone_line;) {
        std::string &earlier = joined[i];
        if (earlier.compare(0, forker.size(), forker) == 0 &&
            earlier.size() >= 4 &&
            earlier.compare(earlier.size() - 4, 4, " = 0") == 0) {
          earlier.replace(earlier.size() - 3, 3, result);
          break;
        }
      }
      continue;
    }
    if (line.find(" clone(") != std::string::npos ||
        line.find(" fork(") != std::string::npos) {
      clone_line = joined.size();
      forker = line.substr(0, line.find(' ') + 1);
    }
    joined.push_back(std::move(line));
  }
  std::string whole;
  for (const std::string &line : joined) whole += line + "\n";
  std::vector<Lines> lines;
  std::string problem = split_processes(whole, lines);
  if (!problem.empty()) return problem;
  for (const Lines &process : lines) {
    Process read{process.pid, {}};
    for (const std::string &line : process.lines) {
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
