// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// What every report format shares: the checks that make it text, the
// process-id prefix and calls cut in two, and the C-like call syntax.
#include "read/report.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "calls/calls.h"
#include "calls/values.h"

namespace probes {
namespace {

bool word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}
bool hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}
bool digit(char c) {
  return c >= '0' && c <= '9';
}
bool upper_word_char(char c) {
  return (c >= 'A' && c <= 'Z') || digit(c) || c == '_';
}
bool space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// The offset of the first byte that is not UTF-8, or npos.
std::size_t bad_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    unsigned min = 0;
    if (c < 0x80) {
      ++i;
      continue;
    }
    if ((c & 0xe0) == 0xc0)
      n = 1, min = 0x80;
    else if ((c & 0xf0) == 0xe0)
      n = 2, min = 0x800;
    else if ((c & 0xf8) == 0xf0)
      n = 3, min = 0x10000;
    else
      return i;
    unsigned value = c & (0x3f >> n);
    for (std::size_t k = 1; k <= n; ++k) {
      if (i + k >= s.size()) return i;
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xc0) != 0x80) return i;
      value = value << 6 | (d & 0x3f);
    }
    if (value < min || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff))
      return i;
    i += n + 1;
  }
  return std::string_view::npos;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (space(s.front()) || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (space(s.back()) || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// Padding folded to one space and addresses (0x...) written ADDR, outside
// quotes only: nothing inside a string is touched.
std::string fold(std::string_view s) {
  s = trim(s);
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] == '"') {
      const std::size_t end = string_end(s, i);
      out.append(s.substr(i, end - i));
      i = end;
    } else if (space(s[i])) {
      while (i < s.size() && space(s[i])) ++i;
      out += ' ';
    } else if (s[i] == '0' && i + 2 < s.size() && s[i + 1] == 'x' &&
               hex_digit(s[i + 2]) && (i == 0 || !word_char(s[i - 1]))) {
      i += 2;
      while (i < s.size() && hex_digit(s[i])) ++i;
      out += "ADDR";
    } else {
      out += s[i++];
    }
  }
  return out;
}

bool all(std::string_view s, bool (*pred)(char)) {
  if (s.empty()) return false;
  for (const char c : s)
    if (!pred(c)) return false;
  return true;
}

Arg classify(std::string_view raw) {
  Arg arg;
  raw = trim(raw);
  arg.text = fold(raw);
  // name=value, as the argument is shown: an address written ADDR is a
  // name too, so that a call reads the same from its own line.
  std::size_t k = 0;
  while (k < arg.text.size() && word_char(arg.text[k])) ++k;
  if (k > 0 && k < arg.text.size() && arg.text[k] == '=' &&
      !digit(arg.text[0])) {
    arg.key = arg.text.substr(0, k);
    const std::size_t equals = raw.find('=');
    raw = trim(
        raw.substr(equals == std::string_view::npos ? raw.size() : equals + 1));
    arg.text = fold(raw);
  }
  arg.raw = std::string(raw);
  const std::string_view t = arg.text;
  const bool number =
      all(t, digit) || (t.size() > 1 && t[0] == '-' && all(t.substr(1), digit));
  if (!t.empty() && t[0] == '"') {
    arg.kind = Arg::kString;
    const std::size_t end = string_end(t, 0);
    arg.cut = t.substr(end) == "...";
  } else if (t == "NULL" || t == "nil") {
    arg.kind = Arg::kNull;
  } else if (t == "ADDR") {
    arg.kind = Arg::kAddress;
  } else if (number) {
    arg.kind = Arg::kNumber;
  } else if (!t.empty() && (t[0] == '{' || t[0] == '[')) {
    arg.kind = Arg::kStructure;
  } else if (t.find('|') != std::string_view::npos ||
             (!t.empty() && !digit(t[0]) && all(t, upper_word_char))) {
    arg.kind = Arg::kFlags;
  }
  return arg;
}

bool time_char(char c) {
  return digit(c) || c == '.';
}

// The line without the time that -t, -tt, -ttt or -r puts in front of each
// call (12:01:02, 12:01:02.123456, 1700000000.123456, 0.000079): times are
// left aside.
std::string_view without_time(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  const std::size_t start = i;
  while (i < line.size() && (time_char(line[i]) || line[i] == ':')) ++i;
  const std::string_view stamp = line.substr(start, i - start);
  const bool clock = stamp.size() >= 8 && stamp[2] == ':' && stamp[5] == ':';
  const bool seconds = stamp.find('.') != std::string_view::npos &&
                       stamp.find(':') == std::string_view::npos;
  if (i == start || i >= line.size() || line[i] != ' ' || !(clock || seconds) ||
      !digit(stamp[0]))
    return line;
  while (i < line.size() && line[i] == ' ') ++i;
  return line.substr(i);
}

// strace -n: the call's number ahead of the line, "[  1] write(...": the
// name says it.
std::string_view without_number(std::string_view line) {
  if (line.size() < 4 || line[0] != '[') return line;
  std::size_t n = 1;
  while (n < line.size() && (line[n] == ' ' || digit(line[n]))) ++n;
  if (n + 1 < line.size() && line[n] == ']' && line[n + 1] == ' ' &&
      digit(line[n - 1]))
    return trim(line.substr(n + 1));
  return line;
}

// -i: where the call was made, ahead of it, "[00007f72a62aaad7] write(...",
// "[0x5568e85d2196] write(...", "[????????????????] +++ exited": addresses
// vary from run to run, and are left aside.
std::string_view without_address(std::string_view line) {
  const std::size_t close = line.find("] ");
  if (line.substr(0, 1) != "[" || close == std::string_view::npos) return line;
  std::string_view address = line.substr(1, close - 1);
  const bool prefixed = address.substr(0, 2) == "0x";
  if (prefixed) address.remove_prefix(2);
  const bool hex = all(address, hex_digit);
  const bool unknown = all(address, [](char c) { return c == '?'; });
  if (address.empty() || !(hex || unknown) || (!prefixed && address.size() < 8))
    return line;
  return line.substr(close + 2);
}

constexpr std::string_view kMarks[] = {"<unfinished ...>", "<no return ...>"};

}  // namespace

constexpr std::pair<Format, std::string_view> kFormats[] = {
    {Format::kStrace, "strace"}, {Format::kLtrace, "ltrace"},
    {Format::kQemu, "qemu"},     {Format::kValgrind, "valgrind"},
    {Format::kPerf, "perf"},     {Format::kUftrace, "uftrace"},
    {Format::kJson, "json"}};

bool format_named(std::string_view name, Format &format) {
  for (const auto &[value, known] : kFormats) {
    if (name == known) {
      format = value;
      return true;
    }
  }
  return false;
}

std::string format_name(Format format) {
  for (const auto &[value, known] : kFormats)
    if (value == format) return std::string(known);
  return "";
}

Decoding decoding_of(Format format) {
  Decoding d;
  switch (format) {
    case Format::kStrace:
      break;
    case Format::kLtrace:
      d.system_calls = false;
      break;
    case Format::kQemu:      // strings decoded, buffers as addresses
    case Format::kValgrind:  // numbers throughout, paths beside addresses
      d.in_process = true;
      d.exits_shown = false;
      break;
    case Format::kPerf:  // arguments by name, those that are zero left out
      d.zeros_left_out = true;
      d.exits_shown = false;
      break;
    case Format::kUftrace:  // library calls by their prototypes
      d.system_calls = false;
      d.exits_shown = false;
      break;
    case Format::kJson:  // exits where the report shows one
      break;
  }
  return d;
}

Decoding decoding_of(Format format, std::string_view report) {
  Decoding d = decoding_of(format);
  if (format == Format::kJson) {
    d.system_calls = !json_library_view(report);
    d.exits_shown = report.find("\"exited\"") != std::string_view::npos ||
                    report.find("\"killed\"") != std::string_view::npos;
  }
  return d;
}

namespace {

// Whether the arguments of "PID name(a,b) = r" are packed as qemu packs
// them: a comma with no space after it, outside strings.
bool packed(std::string_view line) {
  const std::size_t open = line.find('(');
  if (open == std::string_view::npos) return false;
  for (std::size_t i = open; i + 1 < line.size() && line[i] != ')'; ++i) {
    if (line[i] == '"')
      i = string_end(line, i) - 1;
    else if (line[i] == ',' && line[i + 1] != ' ')
      return true;
  }
  return false;
}

// qemu's addresses: 0x and sixteen digits, 0x0000004000005000.
bool padded(std::string_view line) {
  for (std::size_t at = line.find("0x"); at != std::string_view::npos;
       at = line.find("0x", at + 2)) {
    std::size_t end = at + 2;
    while (end < line.size() && hex_digit(line[end])) ++end;
    if (end - at == 18) return true;
  }
  return false;
}

}  // namespace

Format format_of(std::string_view report) {
  while (!report.empty()) {
    std::string_view line = next_line(report);
    const std::string_view bare = trim(line);
    if (bare.substr(0, 2) == "{\"" && bare.back() == '}') return Format::kJson;
    if (bare.substr(0, 2) == "==" || bare.substr(0, 8) == "SYSCALL[" ||
        bare.substr(0, 2) == "--")
      if (bare.substr(0, 4) != "--- ") return Format::kValgrind;
    if (bare.substr(0, 1) == "[" && bare.find("] | ") != std::string_view::npos)
      return Format::kUftrace;
    if (bare.substr(0, 8) == "#   TID ") return Format::kUftrace;
    if (line.find(" ms): ") != std::string_view::npos) return Format::kPerf;
    if (bare.find("+++ exited (status ") != std::string_view::npos)
      return Format::kLtrace;
    long pid = 0;
    if (pid_prefix(line, pid) && packed(line) &&
        (line.find(" errno=") != std::string_view::npos || padded(line)))
      return Format::kQemu;
  }
  return Format::kStrace;
}

std::string unread(std::string_view report, const std::vector<Process> &read,
                   Format format) {
  std::size_t lines = 0, calls = 0;
  std::string first_unread;
  for (const Process &process : read) {
    calls += process.left_aside;
    for (const Call &call : process.calls) {
      if (call.is_call || call.text.compare(0, 3, "+++") == 0 ||
          call.text.compare(0, 3, "---") == 0)
        ++calls;
      else if (first_unread.empty())
        first_unread = call.text;
    }
  }
  std::size_t number = 0, first = 0;
  std::string_view first_line;
  for (std::string_view rest = report; !rest.empty();) {
    const std::string_view line = next_line(rest);
    ++number;
    if (trim(line).empty() || trim(line).substr(0, 2) == "> ") continue;
    ++lines;
    const bool unread_here = first_unread.empty() ? calls == 0
                                                  : line.find(first_unread) !=
                                                        std::string_view::npos;
    if (!first && unread_here) first = number, first_line = line;
  }
  // The other readers pass over lines that are not calls of their own.
  const bool c_like = format == Format::kStrace || format == Format::kLtrace ||
                      format == Format::kJson;
  if (lines == 0 || 2 * calls >= lines || (!c_like && calls > 0)) return "";
  if (first_line.size() > 120) first_line = first_line.substr(0, 120);
  // The format it looks like, named only where its reader reads it.
  const Format looks = format_of(report);
  std::vector<Process> again;
  const bool better = looks != format &&
                      read_report(report, looks, again).empty() &&
                      unread(report, again, looks).empty();
  return std::to_string(calls) + " of " + std::to_string(lines) +
         " lines read as " + format_name(format) +
         (first ? "; the first that is not, line " + std::to_string(first) +
                      ": " + std::string(first_line)
                : std::string()) +
         (better ? " (the report looks like " + format_name(looks) +
                       "'s: say --format " + format_name(looks) + ")"
                 : std::string());
}

std::string result_with_error(long long value, long long error) {
  const std::string name = errno_name(error);
  return std::to_string(value) + " " +
         (name.empty() ? "E" + std::to_string(error) : name);
}

std::string call_name(std::string_view written) {
  if (written.rfind("syscall_", 0) == 0) {
    const auto number = value_of(written.substr(8));
    std::string known = number ? call_numbered(*number) : "";
    if (!known.empty()) return known;
  }
  return std::string(written);
}

namespace {

// A value in hex is an address only where its parameter is a pointer:
// AT_FDCWD as 0xffffff9c stays as it was written.
void numbers_by_parameter(Call &call) {
  const std::vector<Parameter> *parameters = parameters_of(call.name);
  for (std::size_t k = 0; parameters && k < call.args.size(); ++k) {
    Arg &arg = call.args[k];
    const bool value =
        k < parameters->size() && ((*parameters)[k].type == Type::kNumber ||
                                   (*parameters)[k].type == Type::kFlags ||
                                   (*parameters)[k].type == Type::kMode);
    if (arg.kind == Arg::kAddress && arg.key.empty() && value) {
      arg.text = arg.raw;
      arg.kind = Arg::kNumber;
    }
  }
}

}  // namespace

namespace {

// The end of a call that another line began, as ltrace shows a child's
// half of fork: "<... fork resumed> ) = 0". It stays a line of its own,
// with what it resumes and what that returned.
void resumed(std::string_view s, Call &call) {
  constexpr std::string_view kHead = "<... ", kTail = " resumed>";
  const std::size_t tail = s.find(kTail), equals = s.rfind(" = ");
  if (s.substr(0, kHead.size()) != kHead || tail == std::string_view::npos)
    return;
  call.resumed = std::string(s.substr(kHead.size(), tail - kHead.size()));
  if (equals == std::string_view::npos || equals < tail) return;
  call.has_result = true;
  call.result = fold(s.substr(equals + 3));
  call.result_raw = std::string(trim(s.substr(equals + 3)));
  type_result(call);
}

void ending(std::string_view s, Call &call) {
  constexpr std::string_view kKilled = "+++ killed by ";
  if (s.substr(0, 4) != "+++ ") return;
  Ended &ended = call.ended;
  ended.how = Ended::How::kUnsaid;
  for (const std::string_view exited :
       {"+++ exited with ", "+++ exited (status "}) {
    if (s.substr(0, exited.size()) != exited) continue;
    const std::string_view rest = s.substr(exited.size());
    if (const auto status =
            value_of(rest.substr(0, rest.find_first_of(" )")))) {
      ended.how = Ended::How::kExited;
      ended.status = *status;
    }
  }
  if (s.substr(0, kKilled.size()) == kKilled) {
    const std::string_view rest = s.substr(kKilled.size());
    ended.how = Ended::How::kKilled;
    ended.signal = std::string(rest.substr(0, rest.find(' ')));
  }
}

}  // namespace

Call parse_call(std::string_view line) {
  Call call;
  std::string_view s = trim(line);
  // -T: the time the call took, <0.000013>, ends the line; it is left aside.
  const std::size_t took = s.rfind(" <");
  if (took != std::string_view::npos && s.back() == '>' &&
      all(s.substr(took + 2, s.size() - took - 3), time_char))
    s = trim(s.substr(0, took));
  call.text = fold(s);
  std::size_t i = 0;
  while (i < s.size() && (word_char(s[i]) || s[i] == '+')) ++i;
  if (i == 0 || i >= s.size() || s[i] != '(') {
    resumed(s, call);
    ending(s, call);
    return call;
  }
  call.name = call_name(s.substr(0, i));
  // The arguments, split at the commas outside strings and brackets; the
  // depth is a count, so that no nesting can exhaust the stack.
  std::size_t start = ++i;
  std::size_t depth = 0;
  bool closed = false;
  std::vector<std::string_view> raw;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      i = string_end(s, i) - 1;
    } else if (c == '(' || c == '[' || c == '{') {
      ++depth;
    } else if (c == ')' || c == ']' || c == '}') {
      if (depth == 0 && c == ')') {
        closed = true;
        break;
      }
      if (depth > 0) --depth;
    } else if (c == ',' && depth == 0 && raw.size() + 1 < kMaxArgs) {
      raw.push_back(s.substr(start, i - start));  // past kMaxArgs, the last
      start = i + 1;                              // holds the rest
    }
  }
  std::string_view last = s.substr(start, i - start);
  std::string_view rest = closed ? trim(s.substr(i + 1)) : std::string_view();
  if (!closed) {  // exit(0 <no return ...>: the mark ends the arguments
    last = trim(last);
    for (const std::string_view mark : kMarks) {
      if (last.size() >= mark.size() &&
          last.substr(last.size() - mark.size()) == mark) {
        call.mark = std::string(mark);
        last = last.substr(0, last.size() - mark.size());
        break;
      }
    }
    if (call.mark.empty()) return call;
  }
  if (!raw.empty() || !trim(last).empty()) raw.push_back(last);
  for (const std::string_view mark : kMarks) {
    if (rest.substr(0, mark.size()) == mark) {
      call.mark = std::string(mark);
      rest = trim(rest.substr(mark.size()));
      break;
    }
  }
  if (!rest.empty()) {
    if (rest[0] != '=') return call;
    call.has_result = true;
    call.result = fold(rest.substr(1));
    call.result_raw = std::string(trim(rest.substr(1)));
  }
  call.is_call = true;
  call.closed = closed;
  for (const std::string_view a : raw) call.args.push_back(classify(a));
  numbers_by_parameter(call);
  type_result(call);
  call.text = render(call);
  return call;
}

Returned result_of(std::string_view text) {
  using Kind = Returned::Kind;
  Returned out;
  text = trim(text);
  const std::size_t space = text.find(' ');
  const std::string_view first = text.substr(0, space);
  if (first == "?") {
    out.kind = Kind::kUnknown;
    return out;
  }
  if (text == "<void>") {
    out.kind = Kind::kVoid;
    return out;
  }
  if (first.size() > 2 && first.substr(0, 2) == "-E") {  // -EBADF
    out.kind = Kind::kError;
    out.value = -1;
    out.error = errno_number(first.substr(1)).value_or(-1);
    out.named = true;
    return out;
  }
  const auto value = value_of(first);
  if (!value) {
    out.kind = Kind::kOther;
    out.text = std::string(text);
    return out;
  }
  out.kind = Kind::kValue;
  out.value = *value;
  // After -1: EBADF, E123 (a number unnamed), errno=9, (errno 9).
  std::string error = space == std::string_view::npos
                          ? ""
                          : std::string(text.substr(space + 1));
  for (char &c : error)
    if (c == '(' || c == ')' || c == ':' || c == '=') c = ' ';
  error.erase(0, error.find_first_not_of(' '));
  if (error.compare(0, 5, "errno") == 0) {
    error.erase(0, 5);
    error.erase(0, error.find_first_not_of(' '));
  }
  error.resize(std::min(error.size(), error.find(' ')));
  if (*value != -1 || error.empty()) return out;
  out.kind = Kind::kError;
  if (const auto named = errno_number(error)) {
    out.error = *named;
    out.named = true;
  } else if (error[0] == 'E') {
    out.error = value_of(error.substr(1)).value_or(-1);
  } else {
    out.error = value_of(error).value_or(-1);
  }
  return out;
}

void type_result(Call &call) {
  // What a reference writes for a value that differs from run to run, or
  // that a reader has put for what the value stands for.
  static const std::set<std::string_view> kStandsFor = {"ADDR", "ERRNO", "PID",
                                                        "CHILD", "PARENT"};
  const std::string &raw =
      call.result_raw.empty() ? call.result : call.result_raw;
  if (!call.has_result) {
    call.returned = Returned{};
  } else if (kStandsFor.count(call.result) &&
             (call.result != "ADDR" || raw == "ADDR")) {
    call.returned = Returned{};
    call.returned.kind = Returned::Kind::kStandsFor;
    call.returned.text = call.result;
  } else {
    call.returned = result_of(raw);
  }
}

std::string render(const Call &call) {
  if (!call.is_call) return call.text;
  std::string line = call.name + "(";
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    if (i) line += ", ";
    if (!call.args[i].key.empty()) line += call.args[i].key + "=";
    line += call.args[i].text;
  }
  if (call.closed) line += ")";
  if (!call.mark.empty()) line += " " + call.mark;
  if (call.has_result) line += " = " + call.result;
  return line;
}

namespace {

bool split_path(std::string &text, std::string &path) {
  const std::size_t open = text.find('<');
  if (open == std::string::npos || open == 0 || text.back() != '>' ||
      text[0] == '"')
    return false;
  const std::string value = text.substr(0, open);
  if (value != "AT_FDCWD" &&
      value.find_first_not_of("-0123456789") != std::string::npos)
    return false;
  path = text.substr(open + 1, text.size() - open - 2);
  text = value;
  return true;
}

}  // namespace

bool take_paths(Call &call) {
  bool any = false;
  for (Arg &arg : call.args) {
    if (split_path(arg.text, arg.path)) {
      arg.kind = arg.text == "AT_FDCWD" ? Arg::kFlags : Arg::kNumber;
      arg.raw = arg.text;
      any = true;
    }
  }
  if (call.has_result && split_path(call.result, call.result_path)) {
    call.result_raw.clear();  // the value, without its path
    return true;
  }
  return any;
}

std::size_t string_end(std::string_view s, std::size_t i) {
  // The next quote that no backslash escapes, found by the library's search
  // (long strings are many, and compared often), each search moving on.
  constexpr auto kNone = std::string_view::npos;
  std::size_t closing = s.find('"', i + 1), slash = s.find('\\', i + 1);
  while (closing != kNone) {
    if (slash == kNone || closing < slash) return closing + 1;
    const std::size_t next = slash + 2;  // past what the backslash escapes
    if (closing < next) closing = s.find('"', next);
    slash = s.find('\\', next);
  }
  return s.size();
}

std::string_view next_line(std::string_view &text) {
  const std::size_t eol = text.find('\n');
  const std::string_view line = text.substr(0, eol);
  text =
      eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
  return line;
}

std::string quote(std::string_view bytes) {
  std::string out = "\"";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          out += static_cast<char>(c);
        } else {
          char octal[8];
          std::snprintf(octal, sizeof octal, "\\%03o", c);
          out += octal;
        }
    }
  }
  return out + "\"";
}

std::optional<std::string> unquote(std::string_view quoted, bool &cut) {
  if (quoted.empty() || quoted[0] != '"') return std::nullopt;
  const std::size_t end = string_end(quoted, 0);
  const std::string_view after = quoted.substr(end);
  if (end < 2 || quoted[end - 1] != '"' || (!after.empty() && after != "..."))
    return std::nullopt;
  cut = !after.empty();
  std::string out;
  const std::string_view s = quoted.substr(1, end - 2);
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    const char *const from = "ntrvfabe";
    const char *const to = "\n\t\r\v\f\a\b\x1b";
    if (const char *known = std::strchr(from, c); known && c) {
      out += to[known - from];
    } else if (c == 'x' && i + 1 < s.size() &&
               std::isxdigit(static_cast<unsigned char>(s[i + 1]))) {
      unsigned value = 0;
      for (std::size_t n = 0;
           n < 2 && i + 1 < s.size() &&
           std::isxdigit(static_cast<unsigned char>(s[i + 1]));
           ++n) {
        const int h = std::tolower(static_cast<unsigned char>(s[++i]));
        value = value * 16U +
                static_cast<unsigned>(h <= '9' ? h - '0' : h - 'a' + 10);
      }
      out += static_cast<char>(value);
    } else if (octal(c)) {
      unsigned value = c - '0';
      for (std::size_t n = 1; n < 3 && i + 1 < s.size() && octal(s[i + 1]); ++n)
        value = value * 8 + (s[++i] - '0');
      out += static_cast<char>(value);
    } else {
      out += c;  // \\, \", \' and \? stand for themselves
    }
  }
  return out;
}

bool pid_prefix(std::string_view &line, long &pid) {
  std::size_t i = 0;
  bool bracket = line.substr(0, 5) == "[pid ";
  if (bracket) {
    i = 5;
    while (i < line.size() && line[i] == ' ') ++i;
  } else if (line.substr(0, 1) == "[" && line.size() > 2 && digit(line[1])) {
    // "[1234] write(...": an id in brackets, unless it is the call's own
    // number, as strace -n shows it ("[  1] write", "[231] exit_group").
    std::size_t close = 1;
    while (close < line.size() && digit(line[close])) ++close;
    std::size_t name = close + 2;
    while (name < line.size() && word_char(line[name])) ++name;
    const std::string number(line.substr(1, close - 1));
    // "[12]" alone: nothing after the bracket
    const std::string called(close + 2 <= line.size()
                                 ? line.substr(close + 2, name - close - 2)
                                 : std::string_view());
    const long n = number.size() < 10 ? std::stol(number) : -1;
    bool own_number = false;  // (riscv64 numbers its calls as aarch64)
    for (const Abi abi : {Abi::kX86_64, Abi::kI386, Abi::kAarch64})
      own_number =
          own_number || (!called.empty() && call_numbered(n, abi) == called);
    if (close < line.size() && line[close] == ']' && number.size() < 10 &&
        !own_number)
      bracket = true, i = 1;
  }
  std::size_t digits = i;
  while (digits < line.size() && digit(line[digits]) && digits - i < 18)
    ++digits;
  std::size_t end = digits;
  // --decode-pids=comm: the command's name after the id, "1234<probe4>".
  if (end < line.size() && line[end] == '<' && digits > i) {
    const std::size_t close = line.find('>', end);
    if (close != std::string_view::npos && close < end + 66) end = close + 1;
  }
  if (bracket && end < line.size() && line[end] == ']') ++end;
  if (digits == i || (bracket && line[end - 1] != ']') || end >= line.size() ||
      line[end] != ' ')
    return false;
  pid = std::stol(std::string(line.substr(i, digits - i)));
  while (end < line.size() && line[end] == ' ') ++end;
  line = line.substr(end);
  return true;
}

namespace {

// strace's note of a process attached or detached, "strace: Process 1235
// attached", where its report shares standard error with the program:
// whether LINE is one, taken into ANNOUNCED and ALIVE.
bool strace_note(std::string_view line, std::set<long> &announced,
                 std::set<long> &alive) {
  const std::string_view note = "strace: Process ";
  if (line.substr(0, note.size()) != note) return false;
  const std::string_view rest = line.substr(note.size());
  const std::size_t end = rest.find_first_not_of("0123456789");
  if (end == 0 || end == std::string_view::npos || end >= 10) return false;
  const long id = std::stol(std::string(rest.substr(0, end)));
  if (rest.substr(end) == " attached") announced.insert(id), alive.insert(id);
  if (rest.substr(end) == " detached") alive.erase(id);
  return true;
}

// Whether the line is a call cut in two: its first half, marked.
bool is_cut(std::string_view line) {
  const std::string_view held = trim(line);
  for (const std::string_view mark : kMarks)
    if (held.size() >= mark.size() &&
        held.substr(held.size() - mark.size()) == mark)
      return true;
  return false;
}

// "<... name resumed> rest" finishes this process's call of that name cut in
// two, the last one cut (CUT: the places of those not finished yet), so
// that the calls made inside it, as ltrace shows those of exit, keep their
// place: 1 when LINE was joined to it, 0 when it is no such half, -1 when
// the call joined would be too long.
int join_resumed(std::vector<std::string> &lines, std::vector<std::size_t> &cut,
                 std::string_view line) {
  if (line.substr(0, 5) != "<... " || cut.empty()) return 0;
  const std::size_t resumed = line.find(" resumed>");
  if (resumed == std::string_view::npos) return 0;
  std::string &head = lines[cut.back()];
  const std::string_view name = line.substr(5, resumed - 5);
  const std::string_view called = trim(head);
  // ltrace names a call with where it is ("write@SYS", "puts@libc.so.6")
  // and resumes it by its name alone.
  const std::string_view head_name = called.substr(0, called.find('('));
  if (head_name != name && head_name.substr(0, head_name.find('@')) != name)
    return 0;
  if (head.size() + line.size() > kMaxLine) return -1;
  head.resize(head.rfind('<'));
  while (!head.empty() && head.back() == ' ') head.pop_back();
  std::string_view tail = line.substr(resumed + 9);
  if (!tail.empty() && tail[0] == ' ') tail.remove_prefix(1);
  head.append(tail);
  if (!is_cut(head)) cut.pop_back();  // or cut again
  return 1;
}

}  // namespace

std::string split_processes(std::string_view text, std::vector<Lines> &out) {
  std::map<long, std::size_t> index;          // pid -> place in out
  std::vector<std::vector<std::size_t>> cut;  // per place, its calls cut in two
  std::set<long> alive, announced;
  std::size_t number = 0, calls = 0;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view()
                                         : text.substr(eol + 1);
    ++number;
    if (line.size() > kMaxLine) {
      return "line " + std::to_string(number) + " of the report is " +
             std::to_string(line.size()) + " characters long";
    }
    // Blank lines, and the stack that -k (strace) or -w (ltrace) show under
    // a call: " > /usr/lib/.../libc.so.6(umask+0x7) [0xe5e67]".
    if (trim(line).empty() || trim(line).substr(0, 2) == "> ") continue;
    // The process id: "1234  call", "[pid  1234] call", or none while only
    // one process runs.
    long pid = -1;
    const bool has_pid = pid_prefix(line, pid);
    line = without_address(without_number(without_time(line)));
    // strace -f on standard error names no process while one runs, says
    // "strace: Process 1235 attached" for each new one, and then names them
    // all, the first too: an id first seen that no note announced is the
    // first process's, so far without one.
    if (!has_pid && strace_note(line, announced, alive)) continue;
    if (has_pid && !index.count(pid) && index.count(-1) &&
        !announced.count(pid)) {
      const std::size_t first = index[-1];
      index.erase(-1);
      index.emplace(pid, first);
      out[first].pid = pid;
      alive.erase(-1);
      alive.insert(pid);
    }
    if (!has_pid && alive.size() == 1)
      pid = *alive.begin();
    else if (pid < 0 && !out.empty())
      pid = out.front().pid;
    auto found = index.find(pid);
    if (found == index.end()) {
      found = index.emplace(pid, out.size()).first;
      out.push_back({pid, {}});
      cut.emplace_back();
      alive.insert(pid);
    }
    std::vector<std::string> &lines = out[found->second].lines;
    if (line.substr(0, 11) == "--- SIGCHLD") continue;  // when it comes varies
    if (line.substr(0, 4) == "+++ ") alive.erase(pid);
    const int joined = join_resumed(lines, cut[found->second], line);
    if (joined < 0)
      return "a call joined from line " + std::to_string(number) +
             " of the report is more than " + std::to_string(kMaxLine) +
             " characters long";
    if (joined) continue;
    if (++calls > kMaxCalls)
      return "the report holds more than " + std::to_string(kMaxCalls) +
             " lines of calls, more than these programs can give rise to";
    lines.emplace_back(line);
    if (is_cut(line)) cut[found->second].push_back(lines.size() - 1);
  }
  // A call cut in two whose second half never came did not return, however
  // the observer marked it.
  for (Lines &process : out) {
    for (std::string &line : process.lines) {
      const std::size_t at = line.rfind(" <unfinished ...>");
      if (at != std::string::npos && at + 17 == line.size())
        line.replace(at, 17, " <no return ...>");
    }
  }
  return "";
}

void read_calls(const std::vector<Lines> &processes, std::vector<Process> &out,
                Fix fix) {
  for (const Lines &process : processes) {
    Process read{process.pid, {}};
    read.calls.reserve(process.lines.size());
    for (const std::string &line : process.lines) {
      Call call = parse_call(line);
      take_paths(call);
      const Keep keep = fix ? fix(line, call) : Keep::kCall;
      if (keep == Keep::kStop) break;
      if (keep == Keep::kSkip) {
        ++read.left_aside;
        continue;
      }
      type_result(call);
      call.text = render(call);
      read.calls.push_back(std::move(call));
    }
    out.push_back(std::move(read));
  }
}

std::string read_lines(std::string_view text, std::vector<Process> &out,
                       Fix fix) {
  std::vector<Lines> processes;
  std::string problem = split_processes(text, processes);
  if (problem.empty()) read_calls(processes, out, fix);
  return problem;
}

std::string read_report(std::string_view bytes, Format format,
                        std::vector<Process> &out) {
  out.clear();
  if (bytes.size() > kMaxReport) {
    return "the report holds " + std::to_string(bytes.size()) +
           " bytes, more than the " + std::to_string(kMaxReport) +
           " that these programs can give rise to";
  }
  if (bytes.find('\0') != std::string_view::npos)
    return "the report is not text: it holds a NUL byte";
  const std::size_t bad = bad_utf8(bytes);
  if (bad != std::string_view::npos)
    return "the report is not text: byte " + std::to_string(bad) +
           " is not UTF-8";
  switch (format) {
    case Format::kStrace:
      return read_strace(bytes, out);
    case Format::kLtrace:
      return read_ltrace(bytes, out);
    case Format::kQemu:
      return read_qemu(bytes, out);
    case Format::kValgrind:
      return read_valgrind(bytes, out);
    case Format::kPerf:
      return read_perf(bytes, out);
    case Format::kUftrace:
      return read_uftrace(bytes, out);
    case Format::kJson:
      return read_json(bytes, out);
  }
  return "";
}

}  // namespace probes
