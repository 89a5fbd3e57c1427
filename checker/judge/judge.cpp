// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
#include "judge/judge.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

#include "calls/calls.h"
#include "calls/values.h"

namespace probes {
namespace {

constexpr std::size_t kDiffLines = 60;
constexpr std::size_t kShownWidth = 200;
// Past this many cells the diff looks at the report's first lines only.
constexpr std::size_t kDiffCells = 4'000'000;
constexpr std::size_t kLookAhead = 16;  // reference calls tried for each one

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
  // The stream's descriptor in any base: 1, 0x1, 01.
  const auto stream = call.args.size() > 1 ? value_of(call.args[0].raw.empty()
                                                          ? call.args[0].text
                                                          : call.args[0].raw)
                                           : std::nullopt;
  const bool standard = stream && *stream >= 0 && *stream <= 2;
  for (const char *name : kStreamLook)
    if (call.name == name && standard) return true;
  return false;
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

// Two texts alike but for strings, which are held as bytes whatever their
// escapes: a string of the report cut short ("..." after it) stands for the
// reference's when it is a prefix of it, and is counted as not shown.
bool same_text(const std::string &want, const std::string &got,
               Unshown &unshown) {
  std::size_t w = 0, g = 0;
  while (w < want.size() && g < got.size()) {
    if (want[w] == '"' && got[g] == '"') {
      std::size_t we = string_end(want, w), ge = string_end(got, g);
      const bool want_cut = want.compare(we, 3, "...") == 0;
      const bool got_cut = got.compare(ge, 3, "...") == 0;
      we += want_cut ? 3 : 0;
      ge += got_cut ? 3 : 0;
      // Strings without an escape are their bytes: compared as they stand.
      const std::string_view raw_w = std::string_view(want).substr(w, we - w),
                             raw_g = std::string_view(got).substr(g, ge - g);
      if (!want_cut && !got_cut && raw_w.find('\\') == std::string_view::npos &&
          raw_g.find('\\') == std::string_view::npos) {
        if (raw_w != raw_g) return false;
        w = we;
        g = ge;
        continue;
      }
      bool cut_w = false, cut_g = false;
      const auto a = unquote(std::string_view(want).substr(w, we - w), cut_w);
      const auto b = unquote(std::string_view(got).substr(g, ge - g), cut_g);
      if (!a || !b) return false;
      if (want_cut || !got_cut) {  // both whole, or the reference's own cut
        if (*a != *b || want_cut != got_cut) return false;
      } else if (b->size() >= a->size() || a->compare(0, b->size(), *b) != 0) {
        return false;
      } else {
        ++unshown.strings;
      }
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

// A line as shown beside another: where both are long, the part around
// their first difference, so that two lines cut short do not look alike.
std::string around(const std::string &line, const std::string &other) {
  if (line.size() < kShownWidth) return line;
  std::size_t at = 0;
  while (at < line.size() && at < other.size() && line[at] == other[at]) ++at;
  if (at < kShownWidth / 2) return shown(line);
  const std::size_t from = at - kShownWidth / 2;
  const std::string part = line.substr(from, kShownWidth);
  return "..." + part + (from + part.size() < line.size() ? "..." : "");
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

// Each argument under its parameter's name; one the call's parameters do not
// name goes under #N, its place.
std::map<std::string, const Arg *> placed(const Call &call) {
  std::map<std::string, const Arg *> out;
  static const std::vector<Parameter> none;
  const std::vector<Parameter> *known = parameters_of(call.name);
  const std::vector<Parameter> &parameters = known ? *known : none;
  std::size_t next = 0;
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    const Arg &arg = call.args[i];
    std::string name = parameter_named(arg.key);
    if (name.empty()) {
      while (next < parameters.size() && out.count(parameters[next].name))
        ++next;
      name = next < parameters.size() ? parameters[next++].name
                                      : "#" + std::to_string(i);
    }
    out.emplace(name, &arg);
  }
  return out;
}

Type type_of(const std::string &call, const std::string &parameter) {
  if (const std::vector<Parameter> *known = parameters_of(call)) {
    for (const Parameter &p : *known)
      if (p.name == parameter) return p.type;
    return Type::kAny;
  }
  if (parameter.size() > 1 && parameter[0] == '#')
    return startup_type(call, std::stoul(parameter.substr(1)));
  return Type::kAny;
}

// Two numbers that are one int: -1 and 4294967295 too.
bool same_number(long long a, long long b) {
  return a == b || ((a < 0 || b < 0) && static_cast<std::uint32_t>(a) ==
                                            static_cast<std::uint32_t>(b));
}

std::optional<long long> number_in(const Arg &arg) {
  return value_of(arg.raw.empty() ? arg.text : arg.raw);
}

// An address where the reference shows what lies there: a pointer's value,
// in hex or decimal, but never NULL.
bool an_address(const Arg &got) {
  if (got.kind == Arg::kAddress) return true;
  const auto value = number_in(got);
  return value && *value != 0 && got.kind != Arg::kFlags;
}

bool same_value(const Arg &want, const Arg &got, Type type, Unshown &unshown) {
  if (got.text.empty()) {  // shown without a value: not decoded
    ++unshown.arguments;
    return true;
  }
  if (want.kind == Arg::kString || want.kind == Arg::kStructure) {
    if (got.text == "[...]" || got.text == "{...}") {  // strace -s 0's
      ++unshown.buffers;
      return true;
    }
    if (want.kind == got.kind) return same_text(want.text, got.text, unshown);
    if (!an_address(got)) return false;
    ++(want.kind == Arg::kString ? unshown.strings : unshown.buffers);
    return true;
  }
  if (want.kind == Arg::kAddress)  // a pointer whose value varies
    return an_address(got) || got.kind == Arg::kStructure;
  const auto wanted = number_in(want), value = number_in(got);
  // Two addresses, in whatever base: where a pointer points varies from run
  // to run, and a reference never holds one but as ADDR or NULL.
  if ((type == Type::kPointer || type == Type::kBuffer ||
       type == Type::kString || type == Type::kVector) &&
      wanted && value && *wanted && *value)
    return true;
  if (wanted && value)
    return type == Type::kPointer || type == Type::kFlags || type == Type::kMode
               ? *wanted == *value || same_number(*wanted, *value)
               : same_number(*wanted, *value);
  return same_text(want.text, got.text, unshown);
}

// A result as a value and an error. Where the format shows the kernel's
// own value, -9 is -1 with error 9, in 64 bits or as 32 unsigned ones
// (4294967287).
struct Outcome {
  std::optional<long long> value;
  long long error = 0;
};
Outcome outcome(const Returned &result, bool raw_errors) {
  Outcome out;
  if (result.kind == Returned::Kind::kError) {
    out.value = -1;
    out.error = result.error;
  } else if (result.kind == Returned::Kind::kValue) {
    out.value = result.value;
    constexpr long long k32 = 1LL << 32;
    const long long value = result.value >= k32 - 4095 && result.value < k32
                                ? result.value - k32
                                : result.value;
    if (raw_errors && value < 0 && value >= -4095) {
      out.error = -value;
      out.value = -1;
    }
  }
  return out;
}

// A call that does not return shows "?" or nothing.
bool same_result(const Call &want, const Call &got, const Decoding &decoding,
                 Unshown &unshown) {
  const Returned &a = want.returned, &b = got.returned;
  if (!a.shown()) return !b.shown();
  // Left out, or "?": an observer that cannot know results (a seccomp
  // notifier) does not show them.
  if (!b.shown()) {
    ++unshown.results;
    return true;
  }
  if (a == b) return true;
  const Outcome x = outcome(a, false);
  const Outcome y = outcome(b, decoding.system_calls);
  // A call that returns an address (mmap's) returns another on every run,
  // in whatever base: any but NULL and an error is the same.
  const auto address = [](const Returned &result, const Outcome &out) {
    return (result.kind == Returned::Kind::kStandsFor &&
            result.text == "ADDR") ||
           (out.value && *out.value != 0 && out.error == 0);
  };
  if (result_type(want.name) == Type::kPointer && address(a, x) &&
      address(b, y))
    return true;
  if (!x.value || !y.value || !same_number(*x.value, *y.value)) return false;
  if (x.error == y.error) return true;
  // A library call's -1 names no error: __errno_location shows it.
  return x.error == 0 && !decoding.system_calls;
}

// An error that the report gives by number alone ("errno=14 (Bad
// address)", "-14"), named as the reference names errors: " (errno 14 is
// EFAULT)"; "" where the report names it already.
std::string error_named(const Call &call, const Decoding &decoding) {
  if (call.returned.named) return "";
  const Outcome out = outcome(call.returned, decoding.system_calls);
  const std::string name = errno_name(out.error);
  if (name.empty()) return "";
  return " (errno " + std::to_string(out.error) + " is " + name + ")";
}

}  // namespace

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
    // The program runs in the observer's own process where the format says
    // so (an emulator's), or where the report gives it the id of the process
    // that the checker started (an interposer that LD_PRELOAD loads).
    const bool observer_is_program =
        index == 0 && (decoding.in_process ||
                       (observer > 0 && processes[index].pid == observer));
    // The report's id of the program where it shows one: an observer run
    // by a wrapper of the user's is not the program's process.
    long own = observer_is_program && processes[index].pid <= 0
                   ? observer
                   : processes[index].pid;
    std::vector<Call> calls;
    for (const Call &call : processes[index].calls) {
      if (decoding.system_calls && libc_own(call)) continue;
      if (!decoding.exits_shown && call.is_end()) continue;
      Call named = call;
      const std::string &name = call.name;
      const bool pid_call = returns_id(name) && name != "set_tid_address";
      const bool value_shown =
          call.is_call && call.returned.kind == Returned::Kind::kValue;
      if (index > 0 && calls.empty() && child_half(call)) continue;
      if (pid_call && value_shown && call.returned.value > 0 &&
          call.returned.value < (1LL << 31)) {
        const long value = static_cast<long>(call.returned.value);
        if (own < 0 && name == "getpid") own = value;
        const auto child = place.find(value);
        const char *role = nullptr;
        if (name == "getpid" && value == own)
          role = "PID";
        else if (makes_process(name) && child != place.end() &&
                 child->second > index)
          role = "CHILD";
        else if (name == "getppid" &&
                 ((observer_is_program && value == getpid()) ||
                  parent_like(value, own, place, observer)))
          role = "PARENT";
        if (role) {
          named.result = role;
          named.result_raw.clear();
          type_result(named);
          named.text = render(named);
        }
      }
      calls.push_back(std::move(named));
    }
    result.push_back(std::move(calls));
  }
  return result;
}

// A path as -y shows it, its escapes (-x, -xx) undone.
std::string bytes_of_path(const std::string &path) {
  bool cut = false;
  return unquote("\"" + path + "\"", cut).value_or(path);
}

std::vector<std::string> path_problems(const std::vector<Process> &processes,
                                       const std::string &cwd) {
  std::vector<std::string> problems;
  for (const Process &process : processes) {
    std::unordered_map<long long, std::string> opened;  // descriptor -> path
    for (const Call &call : process.calls) {
      for (const Arg &arg : call.args) {
        std::string want = arg.text == "AT_FDCWD" ? cwd : "";
        if (const auto number = number_in(arg); number && want.empty()) {
          const auto found = opened.find(*number);
          if (found != opened.end()) want = found->second;
        }
        const std::string path = bytes_of_path(arg.path);
        if (!path.empty() && !want.empty() && path != want)
          problems.push_back(call.text + ": " + arg.text + " names " +
                             arg.path + ", not " + want);
      }
      const bool opens =
          call.name == "open" || call.name == "openat" || call.name == "creat";
      const Arg *name = nullptr;
      for (const Arg &arg : call.args)
        if (!name && arg.kind == Arg::kString) name = &arg;
      bool cut = true;
      const auto named = name ? unquote(name->text, cut) : std::nullopt;
      if (opens && !call.result_path.empty() && named && !cut &&
          !named->empty() && (*named)[0] != '/') {
        const std::string want = cwd + "/" + *named;
        if (bytes_of_path(call.result_path) != want)
          problems.push_back(call.text + " names " + call.result_path +
                             ", not " + want);
        if (call.returned.kind == Returned::Kind::kValue)
          opened[call.returned.value] = want;
      }
      if (call.name == "close" && !call.args.empty())
        if (const auto fd = number_in(call.args[0])) opened.erase(*fd);
    }
  }
  if (!problems.empty())
    problems.insert(problems.begin(), "the descriptors' paths differ:");
  return problems;
}

bool same(const Call &want, const Call &got, const Decoding &decoding,
          Unshown *unshown) {
  if (want.text == got.text) return true;
  Unshown here;
  if (want.is_end() && got.is_end() && want.ended.how != Ended::How::kUnsaid) {
    if (!(want.ended == got.ended)) return false;
  } else if (!want.is_call || !got.is_call) {
    if (!same_text(want.text, got.text, here)) return false;
  } else {
    // A call that ends the process does not return, however that is shown:
    // exit(0 <no return ...>, exit(0) = ?, ltrace's exit(0) = <void> where
    // its prototype says void, or no result.
    const auto gone = [](const Call &call) {
      const Returned::Kind kind = call.returned.kind;
      return call.mark == "<no return ...>" ||
             (ends_process(call) && (kind == Returned::Kind::kUnknown ||
                                     kind == Returned::Kind::kVoid));
    };
    if (want.name != got.name) return false;
    if (gone(want) || gone(got)) {
      const bool bare =
          got.returned.kind == Returned::Kind::kNotShown && got.mark.empty();
      if (!gone(want) || !(gone(got) || bare)) return false;
    } else if (want.closed != got.closed || want.mark != got.mark ||
               !same_result(want, got, decoding, here)) {
      return false;
    }
    const auto wanted = placed(want), given = placed(got);
    const auto flags = wanted.find("flags");
    const long long flag_value =
        flags == wanted.end() ? 0 : number_in(*flags->second).value_or(0);
    const std::size_t arity = arity_of(want.name);
    // Registers past a call's arguments hold whatever was left there.
    const auto past = [arity](const std::string &parameter) {
      return parameter[0] == '#' && std::stoul(parameter.substr(1)) >= arity;
    };
    for (const auto &[parameter, arg] : wanted) {
      if (!used(want.name, parameter, flag_value) || past(parameter)) continue;
      const auto found = given.find(parameter);
      if (found != given.end()) {
        if (!same_value(*arg, *found->second, type_of(want.name, parameter),
                        here))
          return false;
      } else if (!decoding.zeros_left_out || number_in(*arg) != 0) {
        ++here.arguments;  // left out
      }
    }
    for (const auto &[parameter, arg] : given)  // one the call has not got
      if (parameter[0] == '#' && !wanted.count(parameter) && !past(parameter))
        return false;
  }
  if (unshown && here.any()) {
    if (unshown->first.empty() && want.is_call)
      here.first = shown(want.text) + ", shown as " + shown(got.text);
    unshown->add(here);
  }
  return true;
}

std::string Unshown::said() const {
  std::string out;
  auto count = [&out](std::size_t n, const char *what) {
    if (!n) return;
    out += (out.empty() ? "" : ", ") + std::to_string(n) + " " + what +
           (n == 1 ? "" : "s");
  };
  count(strings, "string");
  count(buffers, "buffer");
  count(arguments, "argument");
  count(results, "result");
  count(exits, "exit");
  return out;
}

void Unshown::add(const Unshown &other) {
  strings += other.strings;
  buffers += other.buffers;
  arguments += other.arguments;
  results += other.results;
  exits += other.exits;
  if (first.empty()) first = other.first;
}

bool starts_process(const Call &call) {
  return call.is_call &&
         (call.name == "execve" || call.name == "__libc_start_main");
}

bool child_half(const Call &call) {
  const std::string &name = call.is_call ? call.name : call.resumed;
  return makes_process(name) && call.returned.kind == Returned::Kind::kValue &&
         call.returned.value == 0;
}

bool ends_process(const Call &call) {
  return (call.is_call && (call.name == "exit_group" || call.name == "_exit" ||
                           call.name == "exit")) ||
         call.is_end();
}

std::vector<std::string> difference(const std::string &what,
                                    const std::vector<Call> &want,
                                    const std::vector<Call> &got,
                                    const Decoding &decoding, Unshown &unshown,
                                    std::size_t startup) {
  // Each call of the report that stands for a reference call is shown as
  // that call; the first such one is taken, and taken once. It is looked for
  // among the next kLookAhead calls not yet taken: a report that matches
  // finds each at the first, and one that does not costs no more than that
  // many comparisons a call, however long both are.
  std::vector<bool> taken(want.size(), false);
  std::vector<std::string> shown_got, want_lines;
  for (const Call &call : want) want_lines.push_back(call.text);
  Unshown matched;
  std::size_t first_free = 0;
  for (const Call &call : got) {
    while (first_free < want.size() && taken[first_free]) ++first_free;
    std::size_t k = first_free;
    for (std::size_t tried = 0; k < want.size(); ++k) {
      if (taken[k]) continue;
      if (tried++ == kLookAhead) {
        k = want.size();
        break;
      }
      if (same(want[k], call, decoding, &matched)) break;
    }
    if (k < want.size()) {
      taken[k] = true;
      shown_got.push_back(want[k].text);
    } else {
      shown_got.push_back(call.text);
    }
  }
  unshown.add(matched);
  auto lines = difference(what, want_lines, shown_got);
  // Where the program's view first differs, in one line.
  std::size_t first = 0;
  while (first < want_lines.size() && first < shown_got.size() &&
         want_lines[first] == shown_got[first])
    ++first;
  std::string where;
  if (first < want_lines.size() && first < shown_got.size())
    where = "first at " + around(want_lines[first], shown_got[first]) +
            ", where the report has " +
            around(shown_got[first], want_lines[first]) +
            error_named(got[first], decoding);
  else if (first < shown_got.size())
    where =
        "first at a call the reference has not got: " + shown(shown_got[first]);
  else if (first < want_lines.size())
    where = "first at " + shown(want_lines[first]) +
            ", which the report has not got";
  if (!lines.empty() && !where.empty()) lines.insert(lines.begin() + 1, where);
  // Where it differs before main, it differs from the empty program's
  // report under this observer, which stands first on the reference's side.
  if (first < startup && !lines.empty()) {
    lines[0] =
        "the calls before main differ from the empty program's under "
        "this observer:";
    for (std::string &line : lines)
      if (line == "--- reference") {
        line = "--- empty-main under this observer, then the reference";
        break;
      }
  }
  return lines;
}

namespace {

bool opens(const Call &call) {
  return call.is_call && call.returned.shown() &&
         (call.name == "open" || call.name == "openat" || call.name == "creat");
}

// The first call that opened a higher descriptor than the reference's: the
// one below it was taken before the program ran.
std::string descriptor_taken(const std::vector<Call> &want,
                             const std::vector<Call> &got, bool in_process) {
  std::size_t g = 0;
  for (const Call &call : want) {
    if (!opens(call)) continue;
    while (g < got.size() && !opens(got[g])) ++g;
    if (g == got.size()) break;
    const auto a = outcome(call.returned, false).value;
    const auto b = outcome(got[g++].returned, true).value;
    if (a && b && *a >= 0 && *b > *a)
      // O_CLOEXEC cannot help an observer that runs in the program's own
      // process: its report's descriptor is the program's too.
      return "descriptor " + std::to_string(*a) +
             " was already open in the program: " +
             (in_process ? "the observer runs in the program's process, "
                           "where its report file is open too: write the "
                           "report to standard error, or keep its "
                           "descriptor above the program's"
                         : "is the report file inherited? open it with "
                           "O_CLOEXEC");
  }
  return "";
}

// A call that made a child whose calls the report has not got.
std::string child_unfollowed(const std::vector<Call> &calls) {
  for (const Call &call : calls) {
    if (!call.is_call || !call.returned.shown() ||
        (call.name != "fork" && call.name != "vfork" && call.name != "clone" &&
         call.name != "clone3"))
      continue;
    const auto value = outcome(call.returned, true).value;
    if (value && *value > 0)
      return call.name + " returned " + std::to_string(*value) +
             ", but the report has no calls of it: are children followed?";
  }
  return "";
}

// "12 write(1, 13 getppid() = 12": a call's head inside another line.
bool run_into(const Call &call) {
  const std::string &t = call.text;
  for (std::size_t i = t.find('('); i < t.size(); ++i) {
    if (t[i] == '"') {
      i = string_end(t, i) - 1;
      continue;
    }
    if (!std::isdigit(static_cast<unsigned char>(t[i])) ||
        (i > 0 && std::isalnum(static_cast<unsigned char>(t[i - 1]))))
      continue;
    std::size_t k = i;
    while (k < t.size() && std::isdigit(static_cast<unsigned char>(t[k]))) ++k;
    if (k + 1 >= t.size() || t[k] != ' ') continue;
    std::size_t n = ++k;
    while (n < t.size() &&
           (std::islower(static_cast<unsigned char>(t[n])) ||
            std::isdigit(static_cast<unsigned char>(t[n])) || t[n] == '_'))
      ++n;
    if (n > k && n < t.size() && t[n] == '(') return true;
  }
  return false;
}

}  // namespace

std::string other_numbers(const std::vector<Call> &want,
                          const std::vector<Call> &got, Abi abi) {
  if (abi != Abi::kI386) return "";
  std::set<std::string> meant, shown_names;
  for (const Call &call : want)
    if (call.is_call) meant.insert(call.name);
  for (const Call &call : got)
    if (call.is_call) shown_names.insert(call.name);
  std::vector<std::string> misnamed;
  for (const std::string &name : shown_names) {
    const long long number = number_of(name, Abi::kX86_64);
    const std::string own = number < 0 ? "" : call_numbered(number, abi);
    if (own.empty() || own == name || meant.count(name) || !meant.count(own))
      continue;
    misnamed.push_back(own + ", " + std::to_string(number) +
                       " on i386, is shown as " + name + ", " +
                       std::to_string(number) + " on x86-64");
  }
  if (misnamed.size() < 2) return "";
  return "the report names this i386 process's calls by x86-64's numbers: " +
         misnamed[0];
}

std::vector<std::string> causes(const std::vector<std::vector<Call>> &want,
                                const std::vector<std::vector<Call>> &got,
                                bool in_process) {
  std::vector<std::string> out;
  if (!want.empty() && !got.empty()) {
    const std::string taken = descriptor_taken(want[0], got[0], in_process);
    if (!taken.empty()) out.push_back(taken);
  }
  if (want.size() > got.size() && !got.empty()) {
    const std::string child = child_unfollowed(got[0]);
    if (!child.empty()) out.push_back(child);
  }
  // A report of some calls alone, as a tracer filtered to them writes it.
  std::set<std::string> wanted, shown_names;
  for (const Call &call : want.empty() ? std::vector<Call>() : want[0])
    if (call.is_call) wanted.insert(call.name);
  for (const Call &call : got.empty() ? std::vector<Call>() : got[0])
    if (call.is_call) shown_names.insert(call.name);
  if (!shown_names.empty() && 2 * shown_names.size() <= wanted.size() &&
      std::includes(wanted.begin(), wanted.end(), shown_names.begin(),
                    shown_names.end())) {
    std::string names;
    for (const std::string &name : shown_names)
      names += (names.empty() ? "" : ",") + name;
    out.push_back("the report holds only some of the calls (" + names +
                  "): if the observer traces only those, say --calls " + names);
  }
  for (const auto &process : got) {
    for (const Call &call : process) {
      if (run_into(call)) {
        out.push_back("the lines of two processes run into each other: " +
                      shown(call.text));
        return out;
      }
      if (!call.is_call && call.text.compare(0, 2, "= ") == 0) {
        out.push_back(
            "a result stands on a line of its own, apart from its "
            "call: " +
            shown(call.text) +
            "; do two processes' lines run into each other?");
        return out;
      }
    }
  }
  return out;
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
  // "the calls of the process differ:", "the folder afterwards differs:"
  const bool plural = what.rfind("the calls", 0) == 0;
  diff.insert(diff.begin(), what + (plural ? " differ:" : " differs:"));
  return diff;
}

}  // namespace probes
