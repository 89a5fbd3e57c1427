// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
#include "cli/read_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <optional>

#include "calls/values.h"
#include "cli/results.h"
#include "judge/judge.h"
#include "read/report.h"
#include "run/guard.h"

namespace probes {
namespace {

// Bytes as a JSON string: each byte that is not plain ASCII as \u00XX.
std::string json_string(const std::string &bytes) {
  std::string out = "\"";
  for (const char byte : bytes) {
    const auto code = static_cast<unsigned char>(byte);
    if (code == '"' || code == '\\') {
      out += '\\';
      out += byte;
    } else if (code == '\n') {
      out += "\\n";
    } else if (code >= 32 && code < 127) {
      out += byte;
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", code);
      out += escape;
    }
  }
  return out + "\"";
}

// An argument as the neutral format gives it: a number, the bytes of a
// string, null, or {"shown": TEXT} for what it is shown as otherwise.
std::string json_argument(const Arg &arg) {
  if (arg.kind == Arg::kNull) return "null";
  if (arg.kind == Arg::kString) {
    bool cut = false;
    if (const auto bytes = unquote(arg.text, cut); bytes && !cut)
      return json_string(*bytes);
  }
  if (const auto value = value_of(arg.raw.empty() ? arg.text : arg.raw))
    return std::to_string(*value);
  return "{\"shown\":" + json_string(arg.raw.empty() ? arg.text : arg.raw) +
         "}";
}

// "pid":1234, where the report gives the process an id.
std::string pid_key(long pid) {
  return pid < 0 ? "" : "\"pid\":" + std::to_string(pid) + ",";
}

// How a process ended, as the neutral format's end of a process; "" where
// the report does not say.
std::string json_end(long pid, const Ended &ended) {
  const std::string head = "{" + pid_key(pid);
  if (ended.how == Ended::How::kExited)
    return head + "\"exited\":" + std::to_string(ended.status) + "}";
  if (ended.how == Ended::How::kKilled)
    return head + "\"killed\":" + json_string(ended.signal) + "}";
  return "";
}

std::string json_call(long pid, const Call &call) {
  std::string line =
      "{" + pid_key(pid) + "\"name\":" + json_string(call.name) + ",\"args\":[";
  for (std::size_t k = 0; k < call.args.size(); ++k)
    line += (k ? "," : "") + json_argument(call.args[k]);
  line += "]";
  const Returned &result = call.returned;
  switch (result.kind) {
    case Returned::Kind::kNotShown:
      break;
    case Returned::Kind::kUnknown:
      line += ",\"ret\":null";
      break;
    case Returned::Kind::kValue:
      line += ",\"ret\":" + std::to_string(result.value);
      break;
    case Returned::Kind::kError:  // by name where it has one, else number
      if (result.error > 0) {
        const std::string name = errno_name(result.error);
        line +=
            ",\"ret\":-1,\"errno\":" +
            (name.empty() ? std::to_string(result.error) : json_string(name));
        break;
      }
      [[fallthrough]];  // an error named as no error is known
    default:
      line += ",\"ret\":{\"shown\":" + json_string(call.result) + "}";
  }
  return line + "}";
}

}  // namespace

int read_command(const std::string &path, std::optional<Format> format,
                 bool json) {
  // The caller's own file, read as the caller; at most a report's bytes.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    std::cerr << "syscall-probes: cannot read " << printable(path) << ": "
              << error_text(errno) << "\n";
    return 2;
  }
  std::string bytes;
  char chunk[1 << 16];
  ssize_t got = 0;
  while (bytes.size() <= kMaxReport &&
         (got = ::read(fd, chunk, sizeof chunk)) > 0)
    bytes.append(chunk, static_cast<std::size_t>(got));
  close(fd);
  if (got < 0) {
    std::cerr << "syscall-probes: cannot read " << printable(path) << ": "
              << error_text(errno) << "\n";
    return 2;
  }
  const Format told = format.value_or(format_of(bytes));
  std::vector<Process> processes;
  std::string problem = read_report(bytes, told, processes);
  if (problem.empty()) problem = unread(bytes, processes, told);
  if (!problem.empty()) {
    std::cerr << "syscall-probes: " << printable(path) << " read as "
              << format_name(told) << ": " << printable(problem) << "\n";
    return 1;
  }
  if (!json)
    std::cout << "read as " << format_name(told)
              << (format ? "" : " (told from the report)") << ", "
              << (decoding_of(told, bytes).system_calls ? "system calls"
                                                        : "library calls")
              << "\n";
  for (const Process &process : processes) {
    if (!json)
      std::cout << "\nprocess "
                << (process.pid < 0 ? std::string("(no id)")
                                    : std::to_string(process.pid))
                << "\n";
    for (const Call &call : process.calls) {
      std::string end = json ? json_end(process.pid, call.ended) : "";
      if (json && !call.is_call && child_half(call))  // ltrace's
        end = "{" + pid_key(process.pid) +
              "\"name\":\"fork\",\"args\":[],\"ret\":0}";
      if (json && (call.is_call || !end.empty()))
        std::cout << (call.is_call ? json_call(process.pid, call) : end)
                  << "\n";
      else if (!json)
        std::cout << "  " << printable(call.text) << "\n";
    }
  }
  return 0;
}

}  // namespace probes
