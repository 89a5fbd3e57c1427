// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// The values behind the names that observers print for the calls these
// programs make (O_WRONLY|O_CREAT, AT_FDCWD, SIGCHLD, EBADF ...), so that a
// report that shows numbers can be held against one that shows names.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace probes {

// A number as C writes it (193, 0xc1, 0644, -100), a known name, with or
// without its prefix as perf prints it (O_CREAT, CREAT), or names and
// numbers joined by |. nullopt for anything else.
std::optional<long long> value_of(std::string_view text);

// x86-64 Linux's error names: 9 <-> EBADF. "" and nullopt when unknown.
std::string errno_name(long long number);
std::optional<long long> errno_number(std::string_view name);

}  // namespace probes
