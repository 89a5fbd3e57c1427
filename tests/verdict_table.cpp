// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// For the tests: whole verdicts of the one judge, a reference and a report
// made up, under the rules an observer is held to. Each line of the table
// (tests/verdict-cases) is
//   WORD :: PHRASE :: SETTINGS :: REFERENCE :: REPORT
// WORD: passed, FAILED or skipped; PHRASE: words the verdict's lines or note
// must hold ("-": none); SETTINGS: words of the list below, or "-";
// REFERENCE: strace's lines, " ;; " between lines and " || " between the
// program and its child; REPORT: the report's lines in its format.
//   verdict-table FILE
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "calls/calls.h"
#include "calls/elf.h"
#include "judge/verdict.h"
#include "read/report.h"

namespace {

std::vector<std::string> split(const std::string &text,
                               const std::string &between) {
  std::vector<std::string> parts;
  for (std::size_t at = 0;;) {
    const std::size_t end = text.find(between, at);
    parts.push_back(text.substr(at, end - at));
    if (end == std::string::npos) return parts;
    at = end + between.size();
  }
}

std::string lines_of(const std::string &field) {
  std::string text;
  for (const std::string &line : split(field, " ;; ")) text += line + "\n";
  return text;
}

// The settings: format=F, complete, own-status, quiet, built-in,
// only=CALL,CALL, startup=N (the reference's first N calls are the
// start-up), status=N and out=TEXT and err=TEXT (the observer's run),
// want-status=N and want-out=TEXT (the reference's), abi=i386 (the
// program's); in TEXT, \n is a new line.
bool apply(const std::string &setting, probes::Expected &expected,
           probes::Observed &observed, probes::Rules &rules) {
  const std::size_t equals = setting.find('=');
  const std::string key = setting.substr(0, equals);
  std::string value =
      equals == std::string::npos ? "" : setting.substr(equals + 1);
  for (std::size_t at = value.find("\\n"); at != std::string::npos;
       at = value.find("\\n", at + 1))
    value.replace(at, 2, "\n");
  if (key == "format") return probes::format_named(value, observed.format);
  if (key == "only") {
    rules.only = split(value, ",");
  } else if (key == "startup") {
    expected.startup = std::stoul(value);
  } else if (key == "status") {
    observed.status = std::stoi(value);
  } else if (key == "want-status") {
    expected.status = std::stoi(value);
  } else if (key == "out") {
    observed.out = value;
  } else if (key == "want-out") {
    expected.out = value;
  } else if (key == "err") {
    observed.err = value;
  } else if (key == "abi") {
    for (const probes::Abi abi : {probes::Abi::kX86_64, probes::Abi::kI386,
                                  probes::Abi::kAarch64, probes::Abi::kRiscv64})
      if (value == probes::abi_name(abi)) expected.abi = abi;
  } else {
    bool *const flag = key == "complete"     ? &rules.complete
                       : key == "own-status" ? &rules.own_status
                       : key == "quiet"      ? &rules.quiet
                       : key == "built-in"   ? &rules.built_in
                                             : nullptr;
    if (flag) *flag = true;
    return flag || key == "-";
  }
  return true;
}

// One case judged; "" when the verdict is the one the table says.
std::string judged(const std::vector<std::string> &fields) {
  probes::Expected expected;
  probes::Observed observed;
  probes::Rules rules;
  std::istringstream settings(fields[2]);
  for (std::string setting; settings >> setting;)
    if (!apply(setting, expected, observed, rules))
      return "no setting " + setting;
  // Both read as the checker reads them, by the program's ABI.
  const probes::AbiScope scope(expected.abi);
  for (const std::string &process : split(fields[3], " || ")) {
    std::vector<probes::Process> read;
    const std::string why =
        probes::read_report(lines_of(process), probes::Format::kStrace, read);
    if (!why.empty() || read.size() != 1) return "reference: " + why;
    expected.calls.push_back(read[0].calls);
  }
  const std::string report = lines_of(fields[4]);
  const std::string why =
      probes::read_report(report, observed.format, observed.processes);
  if (!why.empty()) return "report: " + why;
  observed.report = report;
  observed.decoding = probes::decoding_of(observed.format, report);
  const probes::Verdict verdict =
      probes::judge(std::move(expected), std::move(observed), rules);
  std::string said = verdict.note;
  for (const std::string &line : verdict.lines) said += "\n" + line;
  if (probes::word_text(verdict.word) != fields[0] ||
      (fields[1] != "-" && said.find(fields[1]) == std::string::npos))
    return probes::word_text(verdict.word) + std::string(":") + said;
  return "";
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::cerr << "usage: verdict-table FILE\n";
    return 2;
  }
  std::ifstream table(argv[1]);
  if (!table) {
    std::cerr << "verdict-table: cannot read " << argv[1] << "\n";
    return 2;
  }
  int rows = 0, wrong = 0;
  std::string line;
  for (int number = 1; std::getline(table, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> fields = split(line, " :: ");
    if (fields.size() != 5) {
      std::cerr << "line " << number << ": not five fields\n";
      return 2;
    }
    ++rows;
    std::string problem;
    try {
      problem = judged(fields);
    } catch (const std::exception &error) {  // a number that is none
      problem = error.what();
    }
    if (!problem.empty()) {
      std::cout << "line " << number << ": " << problem << "\n";
      ++wrong;
    }
  }
  std::cout << rows << " verdicts, " << wrong << " wrong\n";
  return wrong ? 1 : 0;
}
