// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
#include "judge.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <unordered_map>

#include "values.h"

namespace probes {
namespace {

constexpr std::size_t kDiffLines = 60;
constexpr std::size_t kShownWidth = 200;
// Past this many cells the diff looks at the report's first lines only.
constexpr std::size_t kDiffCells = 4'000'000;

// What the C library does on its own account is no part of a reference:
// memory, its random seed, signal masks and thread bookkeeping (around fork),
// and stdio's look at a standard stream before its first write.
bool libc_own(const Call &call) {
  static const char *const kOwn[] = {"brk",
                                     "mmap",
                                     "munmap",
                                     "mprotect",
                                     "madvise",
                                     "getrandom",
                                     "rseq",
                                     "rt_sigprocmask",
                                     "set_robust_list",
                                     "set_tid_address",
                                     "gettid"};
  // (valgrind names fstat by the kernel's function, newfstat.)
  static const char *const kStreamLook[] = {"fstat", "newfstat", "newfstatat",
                                            "statx", "ioctl"};
  if (!call.is_call) return false;
  for (const char *name : kOwn)
    if (call.name == name) return true;
  const bool standard = !call.args.empty() && call.args.size() > 1 &&
                        (call.args[0].text == "0" || call.args[0].text == "1" ||
                         call.args[0].text == "2");
  for (const char *name : kStreamLook)
    if (call.name == name && standard) return true;
  return false;
}

bool digits(const std::string &s) {
  return !s.empty() && s.size() < 19 &&
         s.find_first_not_of("0123456789") == std::string::npos;
}

// Whether a pid can be the parent of a program that the observer started:
// the observer itself or a process that it started before the program.
bool parent_like(long value, long own,
                 const std::unordered_map<long, std::size_t> &pids,
                 long observer) {
  if (value == own || pids.count(value) || value <= 1) return false;
  if (own < 0 || observer <= own)
    return observer <= value && value < (own < 0 ? value + 1 : own);
  return value >= observer || value < own;  // the pids wrapped around
}

// Two texts alike but for strings: a string of the report cut short ("..."
// after it) stands for the reference's when it is a prefix of it.
bool same_text(const std::string &want, const std::string &got) {
  std::size_t w = 0, g = 0;
  while (w < want.size() && g < got.size()) {
    if (want[w] == '"' && got[g] == '"') {
      const std::size_t we = string_end(want, w), ge = string_end(got, g);
      const bool got_cut = got.compare(ge, 3, "...") == 0;
      const bool want_cut = want.compare(we, 3, "...") == 0;
      if (got_cut && !want_cut) {
        if (ge - g < 2 || want.compare(w, ge - g - 1, got, g, ge - g - 1) != 0)
          return false;
        w = we;
        g = ge + 3;
        continue;
      }
      if (want.compare(w, we - w, got, g, ge - g) != 0) return false;
      w = we;
      g = ge;
      continue;
    }
    if (want[w] != got[g]) return false;
    ++w;
    ++g;
  }
  return w == want.size() && g == got.size();
}

std::string shown(const std::string &line) {
  return line.size() < kShownWidth ? line : line.substr(0, kShownWidth) + "...";
}

std::string range(std::size_t start, std::size_t stop) {
  std::size_t begin = start + 1;
  const std::size_t length = stop - start;
  if (length == 1) return std::to_string(begin);
  if (length == 0) --begin;
  return std::to_string(begin) + "," + std::to_string(length);
}

// A unified diff with three lines of context, from a longest common
// subsequence: a reference is a few dozen lines, so the table is small.
std::vector<std::string> unified(const std::vector<std::string> &a,
                                 std::vector<std::string> b) {
  std::vector<std::string> out = {"--- reference", "+++ report"};
  std::size_t dropped = 0;
  const std::size_t width = a.size() + 1;
  if (b.size() * width > kDiffCells) {
    const std::size_t keep = kDiffCells / width;
    dropped = b.size() - keep;
    b.resize(keep);
  }
  const std::size_t n = a.size(), m = b.size();
  std::vector<unsigned> table((n + 1) * (m + 1), 0);
  auto at = [&](std::size_t i, std::size_t j) -> unsigned & {
    return table[i * (m + 1) + j];
  };
  for (std::size_t i = n; i-- > 0;)
    for (std::size_t j = m; j-- > 0;)
      at(i, j) = a[i] == b[j] ? at(i + 1, j + 1) + 1
                              : std::max(at(i + 1, j), at(i, j + 1));
  // The edit script: ' ', '-' or '+' with the index of its line.
  std::vector<std::pair<char, std::size_t>> script;
  std::size_t i = 0, j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && a[i] == b[j])
      script.emplace_back(' ', i++), ++j;
    else if (i < n && (j == m || at(i + 1, j) >= at(i, j + 1)))
      script.emplace_back('-', i++);
    else
      script.emplace_back('+', j++);
  }
  constexpr std::size_t kContext = 3;
  for (std::size_t k = 0; k < script.size();) {
    if (script[k].first == ' ') {
      ++k;
      continue;
    }
    // A hunk: from three lines before this change to three after the last
    // change that is within six lines of the one before it.
    std::size_t first = k >= kContext ? k - kContext : 0;
    std::size_t last = k;
    for (std::size_t q = k; q < script.size(); ++q) {
      if (script[q].first != ' ')
        last = q;
      else if (q - last > 2 * kContext)
        break;
    }
    const std::size_t end = std::min(script.size(), last + kContext + 1);
    std::size_t a0 = 0, b0 = 0;
    for (std::size_t q = 0; q < first; ++q) {
      if (script[q].first != '+') ++a0;
      if (script[q].first != '-') ++b0;
    }
    std::size_t a1 = a0, b1 = b0;
    for (std::size_t q = first; q < end; ++q) {
      if (script[q].first != '+') ++a1;
      if (script[q].first != '-') ++b1;
    }
    out.push_back("@@ -" + range(a0, a1) + " +" + range(b0, b1) + " @@");
    for (std::size_t q = first; q < end; ++q) {
      const auto [kind, index] = script[q];
      out.push_back(kind + shown(kind == '+' ? b[index] : a[index]));
    }
    k = end;
  }
  if (dropped)
    out.push_back("... (the report's last " + std::to_string(dropped) +
                  " lines left out)");
  return out;
}

// The parameters of the calls from main on, in the kernel's or the C
// library's order, and other names that observers give them.
const std::map<std::string, std::vector<std::string>> kParameters = {
    {"umask", {"mask"}},
    {"open", {"filename", "flags", "mode"}},
    {"openat", {"dfd", "filename", "flags", "mode"}},
    {"close", {"fd"}},
    {"read", {"fd", "buf", "count"}},
    {"write", {"fd", "buf", "count"}},
    {"writev", {"fd", "vec", "vlen"}},
    {"clone", {"flags", "child_stack", "parent_tidptr", "child_tidptr", "tls"}},
    {"exit_group", {"error_code"}},
    {"exit", {"status"}},
    {"printf", {"format"}},
    {"puts", {"s"}}};
const std::map<std::string, std::string> kAliases = {
    {"clone_flags", "flags"},        {"newsp", "child_stack"},
    {"stack", "child_stack"},        {"pathname", "filename"},
    {"parent_tid", "parent_tidptr"}, {"child_tid", "child_tidptr"}};

// Each argument under its parameter's name; one the call's parameters do not
// name goes under #N, its place.
std::map<std::string, const Arg *> placed(const Call &call) {
  std::map<std::string, const Arg *> out;
  const auto known = kParameters.find(call.name);
  const std::vector<std::string> none;
  const std::vector<std::string> &parameters =
      known != kParameters.end() ? known->second : none;
  std::size_t next = 0;
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    const Arg &arg = call.args[i];
    std::string name = arg.key;
    if (kAliases.count(name)) name = kAliases.at(name);
    if (name.empty()) {
      while (next < parameters.size() && out.count(parameters[next])) ++next;
      name = next < parameters.size() ? parameters[next++]
                                      : "#" + std::to_string(i);
    }
    out.emplace(name, &arg);
  }
  return out;
}

// Two numbers that are one int: -1 and 4294967295 too.
bool same_number(long long a, long long b) {
  return a == b || ((a < 0 || b < 0) && static_cast<std::uint32_t>(a) ==
                                            static_cast<std::uint32_t>(b));
}

bool same_value(const Arg &want, const Arg &got, const Decoding &decoding) {
  if (same_text(want.text, got.text)) return true;
  if (got.text.empty()) return true;  // shown without a value: not decoded
  if (want.kind == Arg::kAddress)
    return got.kind == Arg::kAddress || value_of(got.raw).has_value();
  if (decoding.addresses && got.kind == Arg::kAddress &&
      (want.kind == Arg::kString || want.kind == Arg::kStructure))
    return true;
  const auto wanted = value_of(want.text),
             value = value_of(got.raw.empty() ? got.text : got.raw);
  return wanted && value && same_number(*wanted, *value);
}

// "-1 EBADF (Bad file descriptor)" as -1 and EBADF; "022" as 18.
bool same_result(const Call &want, const Call &got, const Decoding &decoding) {
  if (!want.has_result && !got.has_result) return true;
  if (!got.has_result) return decoding.tail_left_out;
  if (!want.has_result) return false;
  if (want.result == got.result) return true;
  auto split = [](const std::string &result) {
    const std::size_t space = result.find(' ');
    std::string error =
        space == std::string::npos ? "" : result.substr(space + 1);
    error.resize(std::min(error.size(), error.find(' ')));
    return std::make_pair(value_of(result.substr(0, space)), error);
  };
  const auto [want_value, want_error] = split(want.result);
  const auto [got_value, got_error] = split(got.result);
  return want_value && got_value && same_number(*want_value, *got_value) &&
         want_error == got_error;
}

}  // namespace

// strace and ltrace: the same line but for strings cut short.
bool same_line(const Call &want, const Call &got);

std::vector<std::vector<Call>> normalise(const std::vector<Process> &processes,
                                         const Decoding &decoding,
                                         pid_t observer) {
  std::unordered_map<long, std::size_t>
      place;  // pid -> its place in the report
  for (std::size_t i = 0; i < processes.size(); ++i)
    place.emplace(processes[i].pid, i);
  std::vector<std::vector<Call>> result;
  result.reserve(processes.size());
  for (std::size_t index = 0; index < processes.size(); ++index) {
    const bool observer_is_program = decoding.in_process && index == 0;
    long own = observer_is_program ? observer : processes[index].pid;
    std::vector<Call> calls;
    for (const Call &call : processes[index].calls) {
      if (decoding.system_calls && libc_own(call)) continue;
      if (!decoding.exits_shown && call.text.compare(0, 4, "+++ ") == 0)
        continue;
      Call named = call;
      const std::string &name = call.name;
      if (call.is_call && call.has_result && digits(call.result) &&
          (name == "getpid" || name == "getppid" || name == "fork" ||
           name == "vfork" || name == "clone" || name == "clone3")) {
        const long value = std::stol(call.result);
        if (own < 0 && name == "getpid") own = value;
        const auto child = place.find(value);
        const char *role = nullptr;
        if (name == "getpid" && value == own)
          role = "PID";
        else if (name != "getppid" && name != "getpid" &&
                 child != place.end() && child->second > index)
          role = "CHILD";
        else if (name == "getppid" &&
                 (observer_is_program
                      ? value == getpid()
                      : parent_like(value, own, place, observer)))
          role = "PARENT";
        if (role) {
          named.result = role;
          named.text = render(named);
        }
      }
      calls.push_back(std::move(named));
    }
    result.push_back(std::move(calls));
  }
  return result;
}

std::vector<std::string> path_problems(const std::vector<Process> &processes,
                                       const std::string &cwd) {
  std::vector<std::string> problems;
  for (const Process &process : processes) {
    std::unordered_map<std::string, std::string> opened;  // descriptor -> path
    for (const Call &call : process.calls) {
      for (const Arg &arg : call.args) {
        const auto found = opened.find(arg.text);
        std::string want;
        if (arg.text == "AT_FDCWD")
          want = cwd;
        else if (found != opened.end())
          want = found->second;
        if (!arg.path.empty() && !want.empty() && arg.path != want)
          problems.push_back(call.text + ": " + arg.text + " names " +
                             arg.path + ", not " + want);
      }
      const bool opens =
          call.name == "open" || call.name == "openat" || call.name == "creat";
      const Arg *name = nullptr;
      for (const Arg &arg : call.args)
        if (!name && arg.kind == Arg::kString) name = &arg;
      if (opens && !call.result_path.empty() && name && !name->cut &&
          name->text.size() > 2 && name->text[1] != '/' &&
          name->text.find('\\') == std::string::npos) {
        const std::string want =
            cwd + "/" + name->text.substr(1, name->text.size() - 2);
        if (call.result_path != want)
          problems.push_back(call.text + " names " + call.result_path +
                             ", not " + want);
        opened[call.result] = want;
      }
      if (call.name == "close" && !call.args.empty())
        opened.erase(call.args[0].text);
    }
  }
  if (!problems.empty())
    problems.insert(problems.begin(), "the descriptors' paths differ:");
  return problems;
}

bool same(const Call &want, const Call &got, const Decoding &decoding) {
  if (!decoding.by_value) return same_line(want, got);
  if (want.text == got.text) return true;
  if (!want.is_call || !got.is_call) return same_text(want.text, got.text);
  if (want.name != got.name || want.closed != got.closed ||
      want.mark != got.mark || !same_result(want, got, decoding))
    return false;
  const auto wanted = placed(want), shown = placed(got);
  for (const auto &[parameter, arg] : wanted) {
    const auto found = shown.find(parameter);
    if (found != shown.end()
            ? !same_value(*arg, *found->second, decoding)
            : !(decoding.tail_left_out ||
                (decoding.zeros_left_out && value_of(arg->text) == 0)))
      return false;
  }
  for (const auto &[parameter, arg] :
       shown)  // an argument the call has not got
    if (parameter[0] == '#' && !wanted.count(parameter)) return false;
  return true;
}

bool same_line(const Call &want, const Call &got) {
  if (want.text == got.text) return true;
  if (!want.is_call || !got.is_call) return same_text(want.text, got.text);
  if (want.name != got.name || want.args.size() != got.args.size() ||
      want.closed != got.closed || want.mark != got.mark ||
      want.has_result != got.has_result || want.result != got.result)
    return false;
  for (std::size_t i = 0; i < want.args.size(); ++i) {
    const Arg &w = want.args[i], &g = got.args[i];
    if (w.key != g.key || !same_text(w.text, g.text)) return false;
  }
  return true;
}

bool starts_process(const Call &call) {
  return call.is_call &&
         (call.name == "execve" || call.name == "__libc_start_main");
}

bool ends_process(const Call &call) {
  return (call.is_call && (call.name == "exit_group" || call.name == "_exit" ||
                           call.name == "exit")) ||
         call.text.compare(0, 4, "+++ ") == 0;
}

std::vector<std::string> difference(const std::string &what,
                                    const std::vector<Call> &want,
                                    const std::vector<Call> &got,
                                    const Decoding &decoding) {
  // Each call of the report that stands for a reference call is shown as
  // that call; the first such one is taken, and taken once.
  std::vector<bool> taken(want.size(), false);
  std::vector<std::string> shown_got, want_lines;
  for (const Call &call : want) want_lines.push_back(call.text);
  for (const Call &call : got) {
    std::size_t k = 0;
    while (k < want.size() && (taken[k] || !same(want[k], call, decoding))) ++k;
    if (k < want.size()) {
      taken[k] = true;
      shown_got.push_back(want[k].text);
    } else {
      shown_got.push_back(call.text);
    }
  }
  auto lines = difference(what, want_lines, shown_got);
  // Where the program's view first differs, in one line.
  std::size_t first = 0;
  while (first < want_lines.size() && first < shown_got.size() &&
         want_lines[first] == shown_got[first])
    ++first;
  std::string where;
  if (first < want_lines.size() && first < shown_got.size())
    where = "first at " + shown(want_lines[first]) + ", where the report has " +
            shown(shown_got[first]);
  else if (first < shown_got.size())
    where =
        "first at a call the reference has not got: " + shown(shown_got[first]);
  else if (first < want_lines.size())
    where = "first at " + shown(want_lines[first]) +
            ", which the report has not got";
  if (!lines.empty() && !where.empty()) lines.insert(lines.begin() + 1, where);
  return lines;
}

std::vector<std::string> difference(const std::string &what,
                                    const std::vector<std::string> &want,
                                    const std::vector<std::string> &got) {
  if (want == got) return {};
  std::vector<std::string> diff = unified(want, got);
  if (diff.size() > kDiffLines) {
    const std::size_t more = diff.size() - kDiffLines;
    diff.resize(kDiffLines);
    diff.push_back("... (" + std::to_string(more) + " more lines)");
  }
  diff.insert(diff.begin(), what + " differs:");
  return diff;
}

}  // namespace probes
