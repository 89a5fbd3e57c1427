// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// probe4: asks for its pid, writes "before\n", forks; only the parent then
// asks for its parent's pid and writes "after\n". Both processes exit 0.
#include <unistd.h>

const char kBefore[] = "before\n";
const char kAfter[] = "after\n";

int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[]) {
  getpid();
  // Unbuffered and before the fork, so the child inherits no pending output
  // and "before\n" appears once, whatever standard output is.
  write(1, kBefore, 7);
  if (fork() == 0) {
    // The child makes no call of its own: it ends through the normal exit.
    return 0;
  }
  // The parent, and also the only process when the fork failed with -1.
  getppid();
  write(1, kAfter, 6);
  return 0;
}
