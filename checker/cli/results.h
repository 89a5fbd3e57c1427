// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// The verdicts as people and CI systems read them: one line each (with a
// diff below a failure), TAP version 13, or JUnit XML.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "judge/judge.h"

namespace probes {

struct Result {
  std::string situation;
  std::string observer;
  Word word = Word::kFailed;
  std::vector<std::string> lines;  // a reason, or the differences
  std::string note;                // of a pass: what the report did not show
};

// A report's bytes in a line: control characters as \xNN, which neither a
// terminal (an escape sequence sets its title or colours), YAML nor XML 1.0
// may be given as they are.
std::string printable(const std::string &line);
// The reason in one line: for a difference, what differs and where it
// begins ("the calls of the process, first at close(3) = 0, where ...").
std::string headline(const Result &result);
// "probe5-in-source  strace  FAILED" and the diff, indented, below it.
std::string text_line(const Result &result, std::size_t width);
// "ok 3 - probe5-in-source strace", a reason or diff as YAML diagnostics.
std::string tap_point(const Result &result, std::size_t number);
// One testsuite, a testcase per situation and observer.
std::string junit(const std::vector<Result> &results);

}  // namespace probes
