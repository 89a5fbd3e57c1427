// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// probe1: does nothing and ends by returning 0 from main.
int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[]) {
  return 0;
}
