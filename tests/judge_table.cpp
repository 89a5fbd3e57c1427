// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// For the tests: the judging of one call, as real tracers render it,
// against the reference call it must stand for, or must not. Each line of
// the table (tests/judge-cases) is
//   VERDICT FORMAT REFERENCE ==> REPORT
// VERDICT: same, unshown (the same, with something not shown) or differs;
// FORMAT: the report's; REFERENCE: a line as the references write it, in
// the view the format shows; REPORT: a line as that format writes it.
//   judge-table FILE
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "judge/judge.h"
#include "read/report.h"

namespace {

// The first call a one-line report holds, read as FORMAT reads it.
bool first_call(const std::string &text, probes::Format format,
                probes::Call &call, std::string &why) {
  std::vector<probes::Process> processes;
  why = probes::read_report(text + "\n", format, processes);
  if (why.empty() && (processes.empty() || processes[0].calls.empty()))
    why = "no call read";
  if (!why.empty()) return false;
  call = processes[0].calls[0];
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::cerr << "usage: judge-table FILE\n";
    return 2;
  }
  std::ifstream table(argv[1]);
  if (!table) {
    std::cerr << "judge-table: cannot read " << argv[1] << "\n";
    return 2;
  }
  int rows = 0, wrong = 0;
  std::string line;
  for (int number = 1; std::getline(table, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string verdict, format_name;
    words >> verdict >> format_name;
    std::string rest;
    std::getline(words, rest);
    const std::size_t arrow = rest.find(" ==> ");
    probes::Format format;
    if (arrow == std::string::npos ||
        !probes::format_named(format_name, format)) {
      std::cerr << "line " << number << ": not VERDICT FORMAT A ==> B\n";
      return 2;
    }
    const probes::Decoding decoding =
        probes::decoding_of(format, rest.substr(arrow + 5));
    const probes::Format view = decoding.system_calls ? probes::Format::kStrace
                                                      : probes::Format::kLtrace;
    probes::Call want, got;
    std::string why;
    if (!first_call(rest.substr(rest.find_first_not_of(' '),
                                arrow - rest.find_first_not_of(' ')),
                    view, want, why) ||
        !first_call(rest.substr(arrow + 5), format, got, why)) {
      std::cerr << "line " << number << ": " << why << "\n";
      ++wrong;
      continue;
    }
    probes::Unshown unshown;
    const bool same = probes::same(want, got, decoding, &unshown);
    const std::string judged = !same           ? "differs"
                               : unshown.any() ? "unshown"
                                               : "same";
    ++rows;
    if (judged != verdict) {
      std::cout << "line " << number << ": " << judged << ", not " << verdict
                << ": " << want.text << " ==> " << got.text << "\n";
      ++wrong;
    }
  }
  std::cout << rows << " rows judged, " << wrong << " wrong\n";
  return wrong ? 1 : 0;
}
