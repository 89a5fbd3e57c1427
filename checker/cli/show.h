// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// `syscall-probes show`: a situation's reference, each call beside the
// source line that makes it.
#pragma once
#include <string>

#include "situations/situations.h"

namespace probes {

int show(const Situation &situation, const std::string &observer);

}  // namespace probes
