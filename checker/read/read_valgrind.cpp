// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// valgrind's trace of system calls, as `valgrind --tool=none
// --trace-syscalls=yes --trace-children=yes --log-file=FILE` writes it:
//   SYSCALL[PID,TID](NR) sys_write ( 1, 0x10a008, 7 ) --> [async] ...
//   SYSCALL[PID,TID](NR) ... [async] --> Success(0x7)
//   SYSCALL[PID,TID](NR) sys_openat ( 4294967196, 0x10a008(my_file), 193, 420
//   )[sync] --> Failure(0x11)
// Arguments are numbers, a path beside its address; results are hex. A
// clone's result follows on a line of its own (" --> ... Success(0x..)"),
// and the child's half on a later one; so does the result of a call whose
// line a warning of valgrind's ran into. What valgrind does in the program
// after exit_group (its __libc_freeres) is valgrind's, and left out.
#include <cstdlib>
#include <map>
#include <string>

#include "calls/calls.h"
#include "read/report.h"

namespace probes {
namespace {

// "Success(0x7)" -> "7", "Failure(0x9)" -> "-1 EBADF"; "" when neither.
std::string outcome(std::string_view text) {
  const std::size_t success = text.find("Success(0x"),
                    failure = text.find("Failure(0x");
  if (success != std::string_view::npos)
    return std::to_string(std::strtoll(
        std::string(text.substr(success + 10)).c_str(), nullptr, 16));
  if (failure != std::string_view::npos)
    return result_with_error(
        -1, std::strtoll(std::string(text.substr(failure + 10)).c_str(),
                         nullptr, 16));
  return "";
}

// "0x10a008(my_file)" -> "my_file" as a string; each argument as it is
// otherwise. clone's flags are hex without 0x.
std::string arguments(std::string_view name, std::string_view args) {
  std::string out;
  std::size_t index = 0;
  while (!args.empty()) {
    std::size_t comma = args.find(", ");
    std::string_view arg = args.substr(0, comma);
    args = comma == std::string_view::npos ? std::string_view()
                                           : args.substr(comma + 2);
    const std::size_t open = arg.find('(');
    std::string shown(arg);
    if (open != std::string_view::npos && arg.back() == ')')
      shown = quote(arg.substr(open + 1, arg.size() - open - 2));
    else if (name == "clone" && index == 0)
      shown = std::to_string(std::strtoull(shown.c_str(), nullptr, 16));
    out += (out.empty() ? "" : ", ") + shown;
    ++index;
  }
  return out;
}

// Another process's line may cut into one: "SYSCALL[1,1](1) sys_wrSYSCALL[
// 2,1]...\n" and then the rest, "ite ( ...\n", on a line of its own. Each is
// made whole again: the cut-off head waits for the next line that is no
// line of valgrind's own making.
std::string whole_lines(std::string_view text) {
  std::string out, cut;
  while (!text.empty()) {
    std::string_view line = next_line(text);
    const bool own = line.substr(0, 8) == "SYSCALL[" ||
                     line.substr(0, 2) == "==" || line.substr(0, 4) == "--> " ||
                     line.substr(0, 5) == " --> ";
    if (!cut.empty() && !own && !line.empty()) {
      out += cut;
      out += line;
      out += '\n';
      cut.clear();
      continue;
    }
    // A head cut off whole, "SYSCALL[1,1](231) exit_group( 0 )", is a line
    // of its own; its result, if any, comes on a line of its own too.
    if (!cut.empty() && own && cut.find(" )") != std::string::npos) {
      out += cut;
      out += '\n';
      cut.clear();
    }
    // Another process's result, " --> [pre-success] Success(0x0)", and a
    // whole line run on after it: two lines.
    if (line.substr(0, 4) == "--> " || line.substr(0, 5) == " --> ") {
      const std::size_t next = line.find("SYSCALL[");
      if (next != std::string_view::npos) {
        out.append(line.substr(0, next));
        out += '\n';
        line.remove_prefix(next);
      }
    }
    const std::size_t inner = line.find("SYSCALL[", 1);
    if (inner != std::string_view::npos && line.substr(0, 8) == "SYSCALL[") {
      if (cut.empty()) cut = std::string(line.substr(0, inner));
      line.remove_prefix(inner);
    }
    // "SYSCALL[1,1](231)  --> [pre-success] Success(0x0) ": the head alone,
    // and another process's result (a child's half of clone) after it.
    const std::size_t head = line.find(") ");
    if (line.substr(0, 8) == "SYSCALL[" && head != std::string_view::npos &&
        line.find_first_not_of(' ', head + 1) != std::string_view::npos &&
        line.compare(line.find_first_not_of(' ', head + 1), 3, "-->") == 0 &&
        line.find('(', head + 1) > line.find("-->", head + 1)) {
      if (cut.empty()) cut = std::string(line.substr(0, head + 2));
      line.remove_prefix(head + 1);
    }
    out += line;
    out += '\n';
  }
  if (!cut.empty()) out += cut + "\n";
  return out;
}

// The lines made, "PID name(args) = result", read as calls: what follows a
// process's exit is valgrind's.
std::string read_made(std::string lines, std::vector<Process> &out) {
  std::vector<Lines> processes;
  std::string problem = split_processes(lines, processes);
  std::string().swap(lines);
  if (problem.empty())
    read_calls(processes, out, [](const std::string &line, Call &) {
      return line.rfind("+++ ", 0) == 0 ? Keep::kStop : Keep::kCall;
    });
  return problem;
}

// "name ( args )", or "name ()"; a path's "(my_file)" has no space before
// its closing parenthesis. False where REST holds none.
bool name_and_args(std::string_view rest, std::string &name,
                   std::string_view &args) {
  const std::size_t open = rest.find('(');
  std::size_t close =
      rest.find(" )", open == std::string_view::npos ? 0 : open);
  if (close == std::string_view::npos)
    close = rest.find(')', open == std::string_view::npos ? 0 : open);
  if (open == std::string_view::npos || close == std::string_view::npos)
    return false;
  name = std::string(rest.substr(0, open));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  args = rest.substr(open + 1, close - open - 1);
  while (!args.empty() && args.front() == ' ') args.remove_prefix(1);
  while (!args.empty() && args.back() == ' ') args.remove_suffix(1);
  return true;
}

}  // namespace

std::string read_valgrind(std::string_view report, std::vector<Process> &out) {
  std::string lines;  // as "PID name(args) = result"
  {                   // the lines made whole are let go once read
    std::map<long, std::string> pending;  // a call whose result is to come
    long waiting = -1;  // a call whose result is on a line of its own
    const std::string joined = whole_lines(report);
    std::string_view text = joined;
    while (!text.empty()) {
      std::string_view line = next_line(text);
      if (line.size() > kMaxLine)
        return "a line of the report is " + std::to_string(line.size()) +
               " characters long";
      if (line.substr(0, 5) == " --> " || line.substr(0, 4) == "--> ") {
        // The child's half of a clone (its 0) may come before the parent's.
        const bool forks = waiting >= 0 && pending.count(waiting) &&
                           (pending[waiting].rfind("clone(", 0) == 0 ||
                            pending[waiting].rfind("fork(", 0) == 0);
        if (forks && outcome(line) == "0") continue;
        if (waiting >= 0 && pending.count(waiting))
          lines += std::to_string(waiting) + " " + pending[waiting] + " = " +
                   outcome(line) + "\n";
        if (waiting >= 0) pending.erase(waiting);
        waiting = -1;  // a later such line is the child's half of clone
        continue;
      }
      if (line.substr(0, 8) != "SYSCALL[") continue;  // valgrind's own words
      const long pid =
          std::strtol(std::string(line.substr(8)).c_str(), nullptr, 10);
      const std::size_t head = line.find(") ");
      if (head == std::string_view::npos) continue;
      std::string_view rest = line.substr(head + 2);
      const std::size_t own =
          rest.find("==");  // a tool's message run into the line
      if (own != std::string_view::npos &&
          rest.find("-->") == std::string_view::npos)
        rest = rest.substr(0, own);
      if (rest.substr(0, 3) == "...") {  // the second half of a call
        if (pending.count(pid))
          lines += std::to_string(pid) + " " + pending[pid] + " = " +
                   outcome(rest) + "\n";
        pending.erase(pid);
        continue;
      }
      if (rest.substr(0, 4) == "sys_") rest.remove_prefix(4);
      std::string name;
      std::string_view args;
      if (!name_and_args(rest, name, args)) continue;
      const std::size_t arrow = rest.find("-->");
      const std::string call = name + "(" + arguments(name, args) + ")";
      if (name == "exit_group" || name == "exit") {
        lines += std::to_string(pid) + " " + call + " = ?\n";
        lines += std::to_string(pid) +
                 " +++ exited +++\n";  // what follows is valgrind's
        continue;
      }
      if (arrow ==
          std::string_view::npos) {  // clone: its result on the next line
        pending[pid] = call;
        waiting = pid;
        continue;
      }
      const std::string result = outcome(rest.substr(arrow));
      // A clone's line that ends in the child's half, its 0, which the call
      // never returns to the parent: the parent's result is to come.
      if (result == "0" && !can_return(name, 0, 0, -1)) {
        pending[pid] = call;
        waiting = pid;
        continue;
      }
      if (result.empty())
        pending[pid] = call;  // [async] ...: the result comes later
      else
        lines += std::to_string(pid) + " " + call + " = " + result + "\n";
    }
  }
  return read_made(std::move(lines), out);
}

}  // namespace probes
