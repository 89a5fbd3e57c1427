// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// libFuzzer: the judging of a report against a reference, both arbitrary.
// The bytes before the first NUL are the reference, as the .strace and
// .ltrace files are written; after it, the first byte picks the report's
// format and the rest is the report.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "judge/judge.h"
#include "judge/verdict.h"
#include "read/report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  const std::size_t nul = bytes.find('\0');
  if (nul == std::string_view::npos || nul + 1 >= bytes.size()) return 0;
  constexpr probes::Format kFormats[] = {
      probes::Format::kStrace, probes::Format::kLtrace,
      probes::Format::kQemu,   probes::Format::kValgrind,
      probes::Format::kPerf,   probes::Format::kUftrace,
      probes::Format::kJson};
  const probes::Format format =
      kFormats[static_cast<unsigned char>(bytes[nul + 1]) %
               std::size(kFormats)];
  const probes::Decoding decoding =
      probes::decoding_of(format, bytes.substr(nul + 2));
  std::vector<probes::Process> reference, report;
  if (!probes::read_report(bytes.substr(0, nul),
                           decoding.system_calls ? probes::Format::kStrace
                                                 : probes::Format::kLtrace,
                           reference)
           .empty() ||
      !probes::read_report(bytes.substr(nul + 2), format, report).empty())
    return 0;
  const auto want = probes::normalise(
      reference, probes::decoding_of(probes::Format::kStrace), 100);
  for (std::size_t i = 0; i < want.size(); ++i) {
    // A call stands for itself.
    for (const probes::Call &call : want[i])
      if (call.is_call && !probes::same(call, call, decoding)) __builtin_trap();
  }
  // The whole verdict, as a check gives it, under the strictest rules.
  probes::Expected expected;
  expected.calls = want;
  expected.out = "12345\n";
  expected.folder = std::vector<std::string>{"my_file 0644"};
  probes::Observed observed;
  observed.processes = std::move(report);
  observed.format = format;
  observed.decoding = decoding;
  observed.report = bytes.substr(nul + 2);
  observed.observer = 100;
  observed.cwd = "/tmp/run/cwd";
  observed.folder = std::vector<std::string>{};
  probes::Rules rules;
  rules.complete = rules.own_status = rules.quiet = true;
  probes::judge(std::move(expected), std::move(observed), rules);
  return 0;
}
