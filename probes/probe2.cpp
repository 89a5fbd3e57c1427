// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// probe2: does nothing and ends through the C library's exit(0), which runs
// the same exit processing as a return from main (unlike _exit).
#include <cstdlib>

int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[]) {
  exit(0);
}
