// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// For the tests: a report read as the checker reads it, one call a line with
// its process's id in front, or the one line on why it cannot be read.
//   read-report FORMAT FILE
// FORMAT auto: the format told from the report, its name on the first line.
#include <fstream>
#include <iostream>
#include <sstream>

#include "read/report.h"

int main(int argc, char **argv) {
  probes::Format format;
  const bool told = argc == 3 && std::string(argv[1]) == "auto";
  if (argc != 3 || (!told && !probes::format_named(argv[1], format))) {
    std::cerr << "usage: read-report FORMAT|auto FILE\n";
    return 2;
  }
  std::ifstream file(argv[2], std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  if (told) {
    format = probes::format_of(bytes.str());
    std::cout << probes::format_name(format) << "\n";
  }
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
