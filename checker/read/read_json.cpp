// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// The neutral format: JSON lines, one object a line, for a tracer of one's
// own that has no syntax of its own to keep:
//   {"pid":1234,"name":"write","args":[1,"before\n",7],"ret":7}
//   {"pid":1234,"nr":2,"args":[-100,"probe5.cpp",0],"ret":-1,"errno":"ENOENT"}
//   {"pid":1234,"exited":0}   {"pid":1235,"killed":"SIGKILL"}
// "call" may stand for "name", and "nr", the call's number in the program's
// ABI, for both; "tid" for "pid". Arguments are numbers, strings (the bytes
// the call reads, \u00XX for any byte), null, or anything else for what is
// not shown. "ret" null is a result not known; no "ret", one not shown.
// "errno" is a name or a number. Other keys are passed over.
// Each object is turned into the C-like line that the other readers share.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "calls/calls.h"
#include "calls/values.h"
#include "read/report.h"

namespace probes {
namespace {

struct Value {
  enum Kind : std::uint8_t {
    kNone,
    kNumber,
    kString,
    kNull,
    kBool,
    kList,
    kOther
  };
  Kind kind = kNone;
  std::string text;          // a number as written, a string's bytes
  std::vector<Value> items;  // a list's, one level deep
};

bool space(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

void skip_space(std::string_view s, std::size_t &i) {
  while (i < s.size() && space(s[i])) ++i;
}

void append_utf8(std::string &out, unsigned code) {
  if (code < 0x100) {  // a byte, as \u00ff writes one
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    out += static_cast<char>(0xe0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

// A JSON string at s[i] ('"'), its escapes undone; false if it is not one.
bool string_at(std::string_view s, std::size_t &i, std::string &out) {
  ++i;
  while (i < s.size() && s[i] != '"') {
    if (s[i] != '\\') {
      out += s[i++];
      continue;
    }
    if (++i >= s.size()) return false;
    const char c = s[i++];
    static constexpr std::string_view kFrom = "\"\\/bfnrt",
                                      kTo = "\"\\/\b\f\n\r\t";
    const std::size_t simple = kFrom.find(c);
    if (simple != std::string_view::npos) {
      out += kTo[simple];
    } else if (c == 'u' && i + 4 <= s.size()) {
      const auto code = value_of("0x" + std::string(s.substr(i, 4)));
      if (!code || *code < 0) return false;
      append_utf8(out, static_cast<unsigned>(*code));
      i += 4;
    } else {
      return false;
    }
  }
  if (i >= s.size()) return false;
  ++i;
  return true;
}

// A value that is not a list of scalars (an object, a list within a list)
// passed over by counting brackets, outside strings.
bool skip_nested(std::string_view s, std::size_t &i) {
  std::size_t depth = 0;
  for (; i < s.size(); ++i) {
    if (s[i] == '"') {
      std::string ignored;
      if (!string_at(s, i, ignored)) return false;
      --i;
    } else if (s[i] == '{' || s[i] == '[') {
      ++depth;
    } else if ((s[i] == '}' || s[i] == ']') && --depth == 0) {
      ++i;
      return true;
    }
  }
  return false;
}

bool scalar_at(std::string_view s, std::size_t &i, Value &out) {
  if (s[i] == '"') {
    out.kind = Value::kString;
    return string_at(s, i, out.text);
  }
  if (s[i] == '{' || s[i] == '[') {
    out.kind = Value::kOther;
    return skip_nested(s, i);
  }
  std::size_t end = i;
  while (end < s.size() && s[end] != ',' && s[end] != '}' && s[end] != ']' &&
         !space(s[end]))
    ++end;
  out.text = std::string(s.substr(i, end - i));
  i = end;
  if (out.text == "null") {
    out.kind = Value::kNull;
  } else if (out.text == "true" || out.text == "false") {
    out.kind = Value::kBool;
  } else if (!out.text.empty() && out.text.find_first_not_of(
                                      "-+0123456789.eE") == std::string::npos) {
    out.kind = Value::kNumber;
  } else {
    return false;
  }
  return true;
}

bool value_at(std::string_view s, std::size_t &i, Value &out) {
  if (i >= s.size()) return false;
  if (s[i] != '[') return scalar_at(s, i, out);
  out.kind = Value::kList;
  ++i;
  skip_space(s, i);
  if (i < s.size() && s[i] == ']') {
    ++i;
    return true;
  }
  while (i < s.size()) {
    Value item;
    skip_space(s, i);
    if (i >= s.size() || !scalar_at(s, i, item)) return false;
    if (out.items.size() < kMaxArgs) out.items.push_back(std::move(item));
    skip_space(s, i);
    if (i < s.size() && s[i] == ']') {
      ++i;
      return true;
    }
    if (i >= s.size() || s[i] != ',') return false;
    ++i;
  }
  return false;
}

// One line's object, its keys in order; false if the line is not one.
bool object_of(std::string_view line,
               std::vector<std::pair<std::string, Value>> &out) {
  std::size_t i = 0;
  skip_space(line, i);
  if (i >= line.size() || line[i] != '{') return false;
  ++i;
  skip_space(line, i);
  if (i < line.size() && line[i] == '}') return true;
  while (i < line.size()) {
    std::string key;
    Value value;
    skip_space(line, i);
    if (i >= line.size() || line[i] != '"' || !string_at(line, i, key))
      return false;
    skip_space(line, i);
    if (i >= line.size() || line[i] != ':') return false;
    ++i;
    skip_space(line, i);
    if (!value_at(line, i, value)) return false;
    out.emplace_back(std::move(key), std::move(value));
    skip_space(line, i);
    if (i < line.size() && line[i] == '}') {
      ++i;
      skip_space(line, i);
      return i == line.size();
    }
    if (i >= line.size() || line[i] != ',') return false;
    ++i;
  }
  return false;
}

std::string argument(const Value &value) {
  switch (value.kind) {
    case Value::kNumber:
      return value.text;
    case Value::kString:
      return quote(value.text);
    case Value::kNull:
      return "NULL";
    case Value::kBool:
      return value.text == "true" ? "1" : "0";
    default:
      return "{...}";  // shown otherwise: not decoded
  }
}

// The object as "PID name(args) = result", or "" where it is none of the
// format's; EXITS in strace's words or, for a library-call view, ltrace's.
std::string line_of(const std::vector<std::pair<std::string, Value>> &object,
                    bool library) {
  const Value none;
  auto get = [&](std::string_view key) -> const Value & {
    for (const auto &[name, value] : object)
      if (name == key) return value;
    return none;
  };
  const Value &pid = get("pid").kind != Value::kNone ? get("pid") : get("tid");
  std::string line = pid.kind == Value::kNumber ? pid.text + " " : "";
  if (get("exited").kind == Value::kNumber)
    return line + (library
                       ? "+++ exited (status " + get("exited").text + ") +++"
                       : "+++ exited with " + get("exited").text + " +++");
  if (get("killed").kind == Value::kString ||
      get("killed").kind == Value::kNumber)
    return line + "+++ killed by " + get("killed").text + " +++";
  std::string name =
      get("name").kind == Value::kString ? get("name").text : get("call").text;
  if (name.empty() && get("nr").kind == Value::kNumber)
    name = "syscall_" + get("nr").text;
  if (name.empty() || name.find_first_of("() =\"") != std::string::npos)
    return "";
  line += name + "(";
  const Value &args = get("args");
  for (std::size_t k = 0; k < args.items.size(); ++k)
    line += (k ? ", " : "") + argument(args.items[k]);
  line += ")";
  const Value &ret = get("ret"), &error = get("errno");
  if (ret.kind == Value::kNull) {
    line += " = ?";
  } else if (error.kind == Value::kString ||
             (error.kind == Value::kNumber && error.text != "0")) {
    const auto number = error.kind == Value::kString ? errno_number(error.text)
                                                     : value_of(error.text);
    line += " = " +
            (ret.kind == Value::kNumber ? ret.text : std::string("-1")) + " " +
            (number ? result_with_error(-1, *number).substr(3) : error.text);
  } else if (ret.kind == Value::kNumber) {
    line += " = " + ret.text;
  }
  return line;
}

// A library-call view: a call that only the C library has (printf), or a
// report without those that every system-call view of a program shows.
bool library_view(const std::vector<std::string> &names) {
  static constexpr std::string_view kLibrary[] = {
      "printf", "puts", "__errno_location", "__libc_start_main"};
  static constexpr std::string_view kKernel[] = {
      "execve", "exit_group", "brk",    "mmap",       "mmap2",
      "openat", "clone",      "clone3", "arch_prctl", "set_tid_address"};
  bool kernel = false;
  for (const std::string &name : names) {
    for (const std::string_view known : kLibrary)
      if (name == known) return true;
    for (const std::string_view known : kKernel) kernel |= name == known;
  }
  return !kernel;
}

}  // namespace

bool json_library_view(std::string_view text) {
  std::vector<std::string> names;
  while (!text.empty()) {
    std::vector<std::pair<std::string, Value>> object;
    if (!object_of(next_line(text), object)) continue;
    for (const auto &[key, value] : object)
      if ((key == "name" || key == "call") && value.kind == Value::kString)
        names.push_back(call_name(value.text));
      else if (key == "nr" && value.kind == Value::kNumber)
        names.push_back(call_name("syscall_" + value.text));
  }
  return library_view(names);
}

std::string read_json(std::string_view text, std::vector<Process> &out) {
  const bool library = json_library_view(text);
  std::string lines;
  std::size_t number = 0;
  for (std::string_view rest = text; !rest.empty();) {
    const std::string_view line = next_line(rest);
    ++number;
    if (line.size() > kMaxLine)
      return "line " + std::to_string(number) + " of the report is " +
             std::to_string(line.size()) + " characters long";
    std::vector<std::pair<std::string, Value>> object;
    const std::string call =
        object_of(line, object) ? line_of(object, library) : std::string();
    // A line that is no object of the format is kept as it stands, to be
    // counted as unread.
    lines.append(call.empty() ? std::string(line) : call) += '\n';
  }
  return read_lines(lines, out, [](const std::string &, Call &call) {
    if (call.name == "__errno_location" && call.has_result)
      call.result = "ERRNO";  // errno's address: what it stands for
    return Keep::kCall;
  });
}

}  // namespace probes
