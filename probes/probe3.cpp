// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// probe3: does nothing and ends by returning 18 from main.
int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[]) {
  return 18;
}
