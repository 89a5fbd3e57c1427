// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// uftrace's replay of the library calls it recorded, as
// `uftrace replay -f tid` prints them after `uftrace record --force -a`:
//    [ 23812] | write(1, &kBefore, 7) = 7;
//    [ 23812] | fork() {
//    [ 23812] |   /* linux:schedule (pre-empted) */
//    [ 23812] | } = 23814; /* fork */
//    [ 23814] | } = 0; /* fork */
// A call that spans other events opens a brace and closes it with its
// result; a child's first line closes the fork that made it. Arguments go
// as far as uftrace's prototypes, a symbol's address is &name, and a call
// that never returned is left open.
#include <map>
#include <string>
#include <vector>

#include "read/report.h"

namespace probes {

std::string read_uftrace(std::string_view text, std::vector<Process> &out) {
  std::string lines;  // as "TID call"
  std::map<std::string, std::vector<std::string>>
      open;  // per thread, calls not yet returned
  std::vector<std::string> order;
  while (!text.empty()) {
    std::string_view line = next_line(text);
    if (line.size() > kMaxLine)
      return "a line of the report is " + std::to_string(line.size()) +
             " characters long";
    const std::size_t bar = line.find("] | ");
    const std::size_t start = line.find('[');
    if (start == std::string_view::npos || bar == std::string_view::npos ||
        bar < start)
      continue;
    std::string tid(line.substr(start + 1, bar - start - 1));
    tid.erase(0, tid.find_first_not_of(' '));
    if (tid.empty() || tid.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::string_view body = line.substr(bar + 4);
    while (!body.empty() && body.front() == ' ') body.remove_prefix(1);
    while (!body.empty() && body.back() == ' ') body.remove_suffix(1);
    if (body.empty() || body.substr(0, 2) == "/*") continue;
    if (!open.count(tid)) order.push_back(tid);
    std::vector<std::string> &stack = open[tid];
    if (body.back() == '{') {  // returns later
      body.remove_suffix(1);
      while (!body.empty() && body.back() == ' ') body.remove_suffix(1);
      stack.emplace_back(body);
      continue;
    }
    std::string call;
    if (body.front() == '}') {  // "} = 0; /* fork */"
      const std::size_t comment = body.find("/* ");
      const std::size_t semicolon = body.find(';');
      std::string result(body.substr(1, std::min(semicolon, comment) - 1));
      const std::string name =
          comment == std::string_view::npos
              ? ""
              : std::string(body.substr(
                    comment + 3, body.find(" */", comment) - comment - 3));
      if (stack.empty()) {
        call = "<... " + name + " resumed> )" + result;
      } else {
        call = stack.back() + result;
        stack.pop_back();
      }
    } else {
      call = std::string(body);
      if (!call.empty() && call.back() == ';') call.pop_back();
    }
    lines += tid + " " + call + "\n";
  }
  for (const std::string &tid : order) {  // what never returned
    for (const std::string &call : open[tid]) {
      std::string cut = call;
      if (!cut.empty() && cut.back() == ')') cut.pop_back();
      lines += tid + " " + cut + " <no return ...>\n";
    }
  }
  return read_lines(lines, out, [](const std::string &, Call &call) {
    for (Arg &arg : call.args) {
      if (arg.raw.rfind('&', 0) == 0) {  // a symbol's address
        arg.kind = Arg::kAddress;
        arg.text = "ADDR";
      }
    }
    return Keep::kCall;
  });
}

}  // namespace probes
