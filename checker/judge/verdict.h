// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// The verdict on one run: what the reference says against what the observer
// saw, under the rules the observer is held to. No input or output: the
// check reads the references and runs the observer, the fuzzer and the
// tests make both sides up.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "calls/elf.h"
#include "judge/judge.h"
#include "read/report.h"

namespace probes {

// What the reference says, in the observer's view.
struct Expected {
  // Each process's calls, the program's first, which begin with the
  // STARTUP calls before main of the empty program under this observer.
  std::vector<std::vector<Call>> calls;
  std::size_t startup = 0;
  std::string out;         // its standard output
  int status = 0;          // its exit status
  Abi abi = Abi::kX86_64;  // the program's, which numbers its calls
  // The folder afterwards, a line an entry, where it ran in one of its own.
  std::optional<std::vector<std::string>> folder;
};

// What the observer saw: its report read, and how its run ended.
struct Observed {
  std::vector<Process> processes;
  Format format = Format::kStrace;
  Decoding decoding;
  std::string_view report;  // as written: its framing may name another one
  int status = 0;           // the observer's exit status
  std::string out;          // the program's standard output, as it came
  std::string err;          // the first of standard error
  std::string said;         // the observer's last words: " (...)" or ""
  pid_t observer = 0;       // the process the checker started
  std::string cwd;          // the real path of the folder it ran in
  std::optional<std::vector<std::string>> folder;  // that folder afterwards
};

// What the observer is held to.
struct Rules {
  bool complete = false;          // what it does not show fails
  bool own_status = false;        // it exits with the program's status
  bool quiet = false;             // it leaves standard error as the program did
  bool built_in = false;          // a built-in: its format is known
  std::vector<std::string> only;  // the calls compared, or all
};

struct Verdict {
  Verdict() = default;
  Verdict(Word w, std::vector<std::string> l, std::string n = "")
      : word(w), lines(std::move(l)), note(std::move(n)) {}
  Word word = Word::kFailed;
  std::vector<std::string> lines;  // a reason, or the differences
  std::string note;  // of a pass: "not shown: 3 strings, 1 result"
};

// The calls from main on, the output, the folder and what the observer
// passes on, held against the reference; the classic causes ahead of the
// differences.
Verdict judge(Expected expected, Observed observed, const Rules &rules);

}  // namespace probes
