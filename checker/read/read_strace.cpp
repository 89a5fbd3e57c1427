// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// strace's report, as `strace -f -o FILE` writes it: one system call a line,
// "name(args) = result", with the process id in front. What its users add by
// habit is read too: times and -i's addresses (in the framing), -X
// verbose's raw values with their names in comments, and -y's paths of
// descriptors, which are kept apart for judging.
#include <cstdlib>
#include <string>
#include <string_view>

#include "read/report.h"

namespace probes {
namespace {

// -X verbose: "0xc1 /* O_WRONLY|O_CREAT|O_EXCL */" is read as the names.
std::string named_values(std::string_view line) {
  std::string out;
  // The next " */" after a comment's start, looked for again only once
  // passed: none found means none to come.
  std::size_t close = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const bool comment = line.compare(i, 4, " /* ") == 0;
    if (comment && close != std::string_view::npos && close < i + 4)
      close = line.find(" */", i + 4);
    if (line[i] == '"') {  // a string is copied whole
      std::size_t end = i + 1;
      while (end < line.size() && line[end] != '"')
        end += line[end] == '\\' ? 2 : 1;
      end = std::min(end + 1, line.size());
      out.append(line.substr(i, end - i));
      i = end - 1;
    } else if (comment && close != std::string_view::npos) {
      std::size_t start = out.size();  // the raw value before the comment
      while (start > 0 && out[start - 1] != ' ' && out[start - 1] != '(' &&
             out[start - 1] != '|' && out[start - 1] != '=' &&
             out[start - 1] != '{')
        --start;
      out.resize(start);
      out.append(line.substr(i + 4, close - i - 4));
      i = close + 2;
    } else {
      out += line[i];
    }
  }
  return out;
}

}  // namespace

// strace's notes of processes attached, where its report shares standard
// error with them, can come in the middle of a call's line: "clone(...,
// flags=SIGCHLDstrace: Process 526 attached\n <unfinished ...>". Each is
// put on a line of its own ahead of that line, which is made whole again.
std::string notes_apart(std::string_view text) {
  if (text.find("strace: Process ") == std::string_view::npos)
    return std::string(text);
  std::string out, held;  // held: a line's start, cut off by a note
  while (!text.empty()) {
    const std::string_view line = next_line(text);
    const std::size_t at = line.find("strace: Process ");
    if (at == std::string_view::npos || at == 0) {
      (at == 0 ? out : out.append(held)).append(line) += '\n';
      if (at != 0) held.clear();
      continue;
    }
    out.append(line.substr(at)) += '\n';  // a note ends its line
    held.append(line.substr(0, at));
  }
  return out.append(held);
}

// gdb's own line at a process's end, which a script that catches system
// calls cannot turn off: "[Inferior 1 (process 1234) exited normally]", or
// "exited with code 022]", the status in octal. Read as strace writes an
// exit: "1234 +++ exited with 18 +++".
std::string gdb_exits(std::string_view text) {
  if (text.find("[Inferior ") == std::string_view::npos)
    return std::string(text);
  std::string out;
  while (!text.empty()) {
    const std::string_view line = next_line(text);
    const std::size_t process = line.find(" (process ");
    const std::size_t close = line.find(") exited ");
    long pid = 0;
    long status = -1;
    if (line.rfind("[Inferior ", 0) == 0 && process != std::string_view::npos &&
        close != std::string_view::npos && line.back() == ']') {
      const std::string id(line.substr(process + 10, close - process - 10));
      const std::string_view how = line.substr(close + 9);
      char *end = nullptr;
      pid = std::strtol(id.c_str(), &end, 10);
      if (*end != '\0') pid = 0;
      if (how == "normally]") status = 0;
      if (how.rfind("with code ", 0) == 0)
        status = std::strtol(std::string(how.substr(10)).c_str(), nullptr, 8);
    }
    if (pid > 0 && status >= 0)
      out += std::to_string(pid) + " +++ exited with " +
             std::to_string(status) + " +++\n";
    else
      out.append(line) += '\n';
  }
  return out;
}

std::string read_strace(std::string_view text, std::vector<Process> &out) {
  const std::string plain = notes_apart(gdb_exits(text));
  return read_lines(plain, out, [](const std::string &line, Call &call) {
    // strace's own notes, where its report shares standard error with them:
    // "strace: Process 1235 attached".
    if (!call.is_call && line.rfind("strace: ", 0) == 0) return Keep::kSkip;
    // Where a process changes ABI, as an i386 program does under a 64-bit
    // strace: "[ Process PID=1234 runs in 32 bit mode. ]".
    if (!call.is_call && line.rfind("[ Process PID=", 0) == 0 &&
        line.find(" mode. ]") != std::string::npos)
      return Keep::kSkip;
    if (line.find(" /* ") != std::string::npos) {  // -X verbose
      call = parse_call(named_values(line));
      take_paths(call);
    }
    return Keep::kCall;
  });
}

}  // namespace probes
