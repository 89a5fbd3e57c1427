// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// What the checker reads of a program's ELF file: its loader, its recorded
// compiler switches and where main is.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace probes {

// "musl" for a program that musl's dynamic linker loads (PT_INTERP), else
// "": the shared references are glibc's.
std::string libc_of(const std::string &program);

// The ABIs of the programs: the shared references are x86-64's.
enum class Abi : std::uint8_t { kX86_64, kI386, kAarch64, kRiscv64 };

// The program's, by its ELF header's class and machine; kX86_64 for any
// other file.
Abi abi_of(const std::string &program);

// The folders of references of the program's own, the most particular first:
// its ABI's (i386/, aarch64/), then its C library's (musl/).
std::vector<std::string> variants_of(const std::string &program);

// Whether the program was built -fno-plt, by the switches recorded in its
// debug information: then a library-call observer cannot see its calls.
bool plt_free(const std::string &program);

// main's address and size in the program's symbol table; false if none.
bool main_symbol(const std::string &program, std::uint64_t &start,
                 std::uint64_t &size);

}  // namespace probes
