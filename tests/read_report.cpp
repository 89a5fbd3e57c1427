// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// For the tests: a report read as the checker reads it, one call a line with
// its process's id in front, or the one line on why it cannot be read.
//   read-report FORMAT FILE
#include <fstream>
#include <iostream>
#include <sstream>

#include "report.h"

int main(int argc, char **argv) {
  probes::Format format;
  if (argc != 3 || !probes::format_named(argv[1], format)) {
    std::cerr << "usage: read-report FORMAT FILE\n";
    return 2;
  }
  std::ifstream file(argv[2], std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  std::vector<probes::Process> processes;
  const std::string problem =
      probes::read_report(bytes.str(), format, processes);
  if (!problem.empty()) {
    std::cout << problem << "\n";
    return 1;
  }
  for (const probes::Process &process : processes) {
    for (const probes::Call &call : process.calls) {
      std::cout << process.pid << " " << call.text << "\n";
    }
  }
  return 0;
}
