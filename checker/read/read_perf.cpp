// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// perf trace's output, as `perf trace -o FILE` writes it:
//   3.529 ( 0.020 ms): probe5/5629 write(fd: 1, buf: 0x55a445e0e008, count: 6)
//   = 6
// Arguments are named, and those that are zero left out; names of flags
// lose their prefix (CREAT, CWD). A call cut in two ends in "...", and its
// second half reads "... [continued]: clone()) = 22112 (probe4)".
#include <cctype>
#include <string>

#include "read/report.h"

namespace probes {
namespace {

// "name: value" as "name=value", outside strings.
std::string keyed(std::string_view call) {
  std::string out;
  for (std::size_t i = 0; i < call.size(); ++i) {
    if (call[i] == '"') {
      std::size_t end = i + 1;
      while (end < call.size() && call[end] != '"')
        end += call[end] == '\\' ? 2 : 1;
      end = std::min(end + 1, call.size());
      out.append(call.substr(i, end - i));
      i = end - 1;
    } else if (call[i] == ':' && i + 1 < call.size() &&
               (call[i + 1] == ' ' || call[i + 1] == '|') && !out.empty() &&
               (std::isalnum(static_cast<unsigned char>(out.back())) ||
                out.back() == '_')) {
      out += '=';
      i += call[i + 1] == ' ' ? 1
                              : 0;  // perf 6.12: "clone_flags:|CHILD_CLEARTID"
    } else {
      out += call[i];
    }
  }
  return out;
}

}  // namespace

std::string read_perf(std::string_view text, std::vector<Process> &out) {
  std::string lines;  // as "PID call"
  while (!text.empty()) {
    std::string_view line = next_line(text);
    if (line.size() > kMaxLine)
      return "a line of the report is " + std::to_string(line.size()) +
             " characters long";
    // The time and duration, then COMM/PID.
    const std::size_t colon = line.find("): ");
    if (colon == std::string_view::npos) continue;
    std::string_view rest = line.substr(colon + 3);
    const std::size_t space = rest.find(' ');
    const std::size_t slash = rest.substr(0, space).rfind('/');
    if (space == std::string_view::npos || slash == std::string_view::npos)
      continue;
    const std::string pid(rest.substr(slash + 1, space - slash - 1));
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
      continue;
    rest = rest.substr(space + 1);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    std::string call = keyed(rest);
    const std::size_t continued = call.find("... [continued]: ");
    if (continued == 0) {  // the second half of a call cut in two
      const std::size_t open = call.find('(', 17);
      call = "<... " + call.substr(17, open - 17) + " resumed>" +
             call.substr(call.find(')', open) + 1);
    }
    // A result of a process id names its command too: "= 22112 (probe4)".
    const std::size_t equals = call.rfind(" = ");
    if (equals != std::string::npos) {
      const std::size_t open = call.find(" (", equals + 3);
      if (open != std::string::npos && call.back() == ')' &&
          call.find_first_not_of("0123456789", equals + 3) == open)
        call.resize(open);
    }
    if (call.size() > 4 && call.compare(call.size() - 4, 4, " ...") == 0)
      call.replace(call.size() - 4, 4, " <unfinished ...>");
    lines += pid + " " + call + "\n";
  }
  // A second half whose first is not in the report: the child's half of
  // the clone that made it, or an execve begun before perf followed it.
  return read_lines(lines, out, [](const std::string &line, Call &) {
    return line.rfind("<... ", 0) == 0 ? Keep::kSkip : Keep::kCall;
  });
}

}  // namespace probes
