// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// `syscall-probes read`: a report's calls as the checker reads them, by
// process, as the references render them or as JSON lines.
#pragma once
#include <optional>
#include <string>

#include "read/report.h"

namespace probes {

// Exit status 0; 1 when the report cannot be read in the format; 2 when the
// file cannot be.
int read_command(const std::string &path, std::optional<Format> format,
                 bool json);

}  // namespace probes
