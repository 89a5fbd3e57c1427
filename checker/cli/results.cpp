// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
#include "cli/results.h"

#include <cstdio>

namespace probes {

std::string printable(const std::string &line) {
  std::string out;
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

std::string yaml_quoted(const std::string &line) {
  std::string out = "'";
  for (const char c : printable(line))
    out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

std::string xml(const std::string &text) {
  std::string out;
  for (const char c : printable(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

std::string headline(const Result &result) {
  if (result.lines.empty()) return "";
  for (const std::string &line : result.lines) {
    if (line.rfind("first at ", 0) == 0) {
      std::string what = result.lines[0];
      const std::size_t differs = what.rfind(" differ");
      if (differs != std::string::npos) what.resize(differs);
      return what + ", " + line;
    }
  }
  return result.lines[0];
}

std::string text_line(const Result &result, std::size_t width) {
  std::string head = result.situation;
  head.resize(std::max(width, head.size()), ' ');
  std::string shown = printable(result.observer);
  shown.resize(std::max<std::size_t>(6, shown.size()), ' ');
  head += "  " + shown + "  " + word_text(result.word);
  if (!result.note.empty()) head += " (" + printable(result.note) + ")";
  if (result.lines.size() == 1)
    head += ": " + printable(result.lines[0]);  // a reason; a diff goes below
  head += "\n";
  if (result.word == Word::kFailed && result.lines.size() > 1)
    for (const std::string &line : result.lines)
      head += "    " + printable(line) + "\n";
  return head;
}

std::string tap_point(const Result &result, std::size_t number) {
  const std::string name = result.situation + " " + result.observer;
  std::string point = (result.word == Word::kFailed ? "not ok " : "ok ") +
                      std::to_string(number) + " - " + name;
  if (result.word == Word::kSkipped)
    return point + " # SKIP " +
           printable(result.lines.empty() ? "" : result.lines[0]) + "\n";
  point += "\n";
  if (result.word != Word::kFailed)
    return result.note.empty()
               ? point
               : point + "  ---\n  message: " + yaml_quoted(result.note) +
                     "\n  ...\n";
  point += "  ---\n";
  if (result.lines.size() == 1) {
    point += "  message: " + yaml_quoted(result.lines[0]) + "\n";
  } else {
    point += "  message: " + yaml_quoted(headline(result)) + "\n  diff:\n";
    for (const std::string &line : result.lines)
      point += "    - " + yaml_quoted(line) + "\n";
  }
  return point + "  ...\n";
}

std::string junit(const std::vector<Result> &results) {
  std::size_t failures = 0, skipped = 0;
  for (const Result &result : results) {
    failures += result.word == Word::kFailed;
    skipped += result.word == Word::kSkipped;
  }
  const std::string counts = "tests=\"" + std::to_string(results.size()) +
                             "\" failures=\"" + std::to_string(failures) +
                             "\" skipped=\"" + std::to_string(skipped) + "\"";
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites " +
                    counts + ">\n  <testsuite name=\"syscall-probes\" " +
                    counts + ">\n";
  for (const Result &result : results) {
    out += "    <testcase classname=\"syscall-probes." + xml(result.observer) +
           "\" name=\"" + xml(result.situation) + "\"";
    const std::string first = headline(result);
    if (result.word == Word::kPassed) {
      out += result.note.empty() ? "/>\n"
                                 : ">\n      <system-out>" + xml(result.note) +
                                       "</system-out>\n    </testcase>\n";
      continue;
    }
    out += ">\n";
    if (result.word == Word::kSkipped) {
      out += "      <skipped message=\"" + xml(first) + "\"/>\n";
    } else {
      out += "      <failure message=\"" + xml(first) + "\">";
      for (const std::string &line : result.lines) out += xml(line) + "\n";
      out += "</failure>\n";
    }
    out += "    </testcase>\n";
  }
  return out + "  </testsuite>\n</testsuites>\n";
}

}  // namespace probes
