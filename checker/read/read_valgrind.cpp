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
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
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

// valgrind writes a line in pieces, a write each: the head "SYSCALL[PID,
// TID](NR) ", the call "sys_write ( 1, 0x10a008, 7 )" (a long one in more
// writes than one), the result "[sync] --> Success(0x7)", " --> [pre-success]
// Success(0x0)" or " --> [async] ... ", and the newline. Processes that write
// at once cut their pieces into one another, in any order:
//   SYSCALL[2,1](311) SYSCALL[1,1](252) sys_set_robust_list ( 0x48, 12
//   )exit_group( 0 )[sync] --> Success(0x0)
//    --> [pre-success] Success(0x0)
// Each piece goes back to its line: a call to the first head still without
// one, a result to the first call without one, the rest of a call cut short
// to that call, and a newline ends the first line that has its result (or,
// where none has, the first with its call: a clone's result comes on a line
// of its own, as does the child's half of it).
enum class Piece : std::uint8_t { kHead, kResult, kNewline, kOwn, kText };

struct Line {
  std::string head, call, result;
  long long number = -1;  // the call's, as its head gives it: (NR)
  int depth = 0;          // of the call's parentheses, while it is cut short
  bool opened = false;    // the call has shown its "("
  bool whole() const {
    return !call.empty() && opened && depth == 0;
  }
};

bool starts(std::string_view text, std::size_t at, std::string_view what) {
  return text.compare(at, what.size(), what) == 0;
}

// The piece that starts at TEXT[AT] and where it ends.
Piece piece_at(std::string_view text, std::size_t at, std::size_t &end) {
  const auto result_at = [&text](std::size_t i) {
    return starts(text, i, "[sync] --> ") || starts(text, i, "[async] --> ") ||
           starts(text, i, " --> ") ||
           ((i == 0 || text[i - 1] == '\n') && starts(text, i, "--> "));
  };
  const std::size_t eol = std::min(text.find('\n', at), text.size());
  if (text[at] == '\n') {
    end = at + 1;
    return Piece::kNewline;
  }
  // valgrind's own words, "==1473== ..." or "--1473-- ...", on a line of
  // their own or run into another process's: to the end of the line.
  const auto own = [&text, at](char mark) {
    std::size_t digits = at + 2;
    while (digits < text.size() &&
           std::isdigit(static_cast<unsigned char>(text[digits])))
      ++digits;
    return text[at] == mark && starts(text, at + 1, std::string(1, mark)) &&
           digits > at + 2 && starts(text, digits, std::string(2, mark));
  };
  if (own('=') || own('-') ||
      ((at == 0 || text[at - 1] == '\n') &&
       (starts(text, at, "==") || starts(text, at, "--")) && !result_at(at))) {
    end = std::min(eol + 1, text.size());
    return Piece::kOwn;
  }
  if (starts(text, at, "SYSCALL[")) {
    const std::size_t close = text.find(") ", at);
    if (close < eol && close - at < 64) {
      end = close + 2;
      return Piece::kHead;
    }
  }
  if (result_at(at)) {
    const std::size_t arrow = text.find("--> ", at) + 4;
    const std::size_t close = text.find(')', arrow);
    end = starts(text, arrow, "[async] ...") ? arrow + 11
          : close < eol                      ? close + 1
                                             : eol;
    return Piece::kResult;
  }
  end = at + 1;  // text, to the next piece that is no text
  while (end < eol && !starts(text, end, "SYSCALL[") && !result_at(end)) ++end;
  return Piece::kText;
}

// The first line that PRED holds for, or none.
template <typename Pred>
Line *first(std::deque<Line> &lines, Pred pred) {
  for (Line &line : lines)
    if (pred(line)) return &line;
  return nullptr;
}

// The call whose name TEXT begins with, "sys_write (" or "exit_group(":
// write, exit_group; "" where it begins none.
std::string call_begun(std::string_view text) {
  if (text.substr(0, 4) == "sys_") text.remove_prefix(4);
  std::size_t i = 0;
  while (i < text.size() &&
         (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_'))
    ++i;
  std::size_t open = i;
  while (open < text.size() && text[open] == ' ') ++open;
  return i > 0 && open < text.size() && text[open] == '('
             ? std::string(text.substr(0, i))
             : "";
}

// A piece of a call, to the head whose number names it, else to a call cut
// short, else to the first head without a call.
Line *owner(std::deque<Line> &lines, std::string_view text) {
  const std::string name = call_begun(text);
  Line *line = name.empty() ? nullptr : first(lines, [&name](const Line &l) {
    return l.call.empty() && l.number >= 0 && call_numbered(l.number) == name;
  });
  if (!line)
    line = first(lines, [](const Line &l) {
      return !l.call.empty() && !l.whole() && l.result.empty();
    });
  if (!line)
    line = first(lines, [](const Line &l) {
      return !l.head.empty() && l.call.empty() && l.result.empty();
    });
  return line;
}

// Text between the other pieces: a call, or a piece of one, or two calls
// that two processes wrote one after the other ("sys_set_robust_list ( 0x48,
// 12 )exit_group( 0 )"), or the words after a call ("   clone(fork):
// process 1 created child 2").
void add_text(std::deque<Line> &lines, std::string_view text) {
  Line *after =
      first(lines, [](const Line &l) { return l.whole() && l.result.empty(); });
  if (after && text[0] == ' ' && call_begun(text).empty() &&
      text.find_first_not_of(' ') != std::string_view::npos) {
    after->call += text;  // words after a call: not one of its own
    return;
  }
  while (text.find_first_not_of(' ') != std::string_view::npos) {
    Line *line = owner(lines, text.substr(text.find_first_not_of(' ')));
    if (!line) {
      if (lines.empty()) lines.emplace_back();
      lines.back().call += text;
      return;
    }
    if (line->call.empty()) {
      text.remove_prefix(text.find_first_not_of(' '));
      if (text.substr(0, 3) == "...")
        line->opened = true;  // the second half of an [async] call
    }
    std::size_t k = 0;
    for (; k < text.size(); ++k) {
      if (text[k] == '(') ++line->depth, line->opened = true;
      if (text[k] != ')' || line->depth == 0) continue;
      --line->depth;
      if (line->depth == 0 && !call_begun(text.substr(k + 1)).empty())
        break;  // another call, run on with no space between
    }
    k = std::min(k + 1, text.size());
    line->call += text.substr(0, k);
    text.remove_prefix(k);
  }
}

// Ends the line that a newline belongs to, into OUT.
void end_line(std::deque<Line> &lines, std::string &out) {
  auto done = std::find_if(lines.begin(), lines.end(),
                           [](const Line &l) { return !l.result.empty(); });
  if (done == lines.end())
    done = std::find_if(lines.begin(), lines.end(), std::mem_fn(&Line::whole));
  if (done == lines.end()) return;
  out += done->head + done->call + done->result + '\n';
  lines.erase(done);
}

std::string whole_lines(std::string_view text) {
  constexpr std::size_t kOpen = 64;  // more lines open at once are none
  std::string out;
  std::deque<Line> lines;
  for (std::size_t at = 0, end = 0; at < text.size(); at = end) {
    const Piece piece = piece_at(text, at, end);
    const std::string_view bytes = text.substr(at, end - at);
    if (piece == Piece::kOwn) {
      out.append(bytes);
      if (bytes.back() != '\n') out += '\n';
    } else if (piece == Piece::kHead) {
      Line &line = lines.emplace_back();
      line.head = std::string(bytes);
      const std::size_t number = line.head.find("](");
      if (number != std::string::npos)
        line.number = std::strtoll(line.head.c_str() + number + 2, nullptr, 10);
    } else if (piece == Piece::kResult) {
      Line *line = first(
          lines, [](const Line &l) { return l.whole() && l.result.empty(); });
      if (!line)
        line = first(lines, [](const Line &l) {
          return !l.call.empty() && l.result.empty();
        });
      if (!line) line = &lines.emplace_back();  // a result on its own line
      line->result = std::string(bytes);
      line->depth = 0;
    } else if (piece == Piece::kNewline) {
      end_line(lines, out);
    } else {
      add_text(lines, bytes);
    }
    if (lines.size() > kOpen) {
      out += lines.front().head + lines.front().call + lines.front().result;
      out += '\n';
      lines.pop_front();
    }
  }
  for (const Line &line : lines)
    out += line.head + line.call + line.result + '\n';
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
