// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// libFuzzer: every report reader over arbitrary bytes, and the judging of
// what they read against a reference, as the checker does with a report.
#include <cstddef>
#include <cstdint>

#include "judge/judge.h"
#include "read/report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  probes::format_of(bytes);
  for (const probes::Format format :
       {probes::Format::kStrace, probes::Format::kLtrace, probes::Format::kQemu,
        probes::Format::kValgrind, probes::Format::kPerf,
        probes::Format::kUftrace, probes::Format::kJson}) {
    std::vector<probes::Process> processes;
    if (!probes::read_report(bytes, format, processes).empty()) continue;
    probes::unread(bytes, processes, format);
    const probes::Decoding decoding = probes::decoding_of(format, bytes);
    const auto calls = probes::normalise(processes, decoding, 100);
    for (const auto &process : calls) {
      for (const probes::Call &call : process) {
        // A call read back from its own line is the same call.
        if (call.is_call &&
            probes::parse_call(probes::render(call)).text != call.text)
          __builtin_trap();
      }
      probes::Unshown unshown;
      probes::difference("the process", calls.front(), process, decoding,
                         unshown);
    }
  }
  return 0;
}
