// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// probe5: a fixed run of six descriptor calls for an observer to check, three
// of which fail with EBADF in a normal run (all four after the open when the
// open itself fails). No result is examined; the status is always 0.
// Run it from the folder that holds this file: it opens this file by name.
#include <fcntl.h>
#include <unistd.h>

// Both writes take their bytes from here: all six, then the five digits.
const char kDigits[] = "12345\n";
// This file's own name, with no directory part; renaming the file means
// changing this too.
const char kOwnSource[] = "probe5.cpp";

int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[]) {
  // write(1, "12345\n", 6) = 6
  write(1, kDigits, 6);
  // openat(AT_FDCWD, "probe5.cpp", O_RDONLY) = 3, or -1 ENOENT elsewhere.
  const int fd = open(kOwnSource, O_RDONLY);
  // -1 EBADF: the descriptor is open for reading only (or is -1).
  write(fd, kDigits, 5);
  // 0, or -1 EBADF when the open failed.
  close(fd);
  // -1 EBADF: the descriptor is closed by now, so the kernel refuses the call
  // before it would touch the null buffer. This must stay after the close.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnonnull"  // the null buffer is the point
  read(fd, nullptr, 64);
#pragma GCC diagnostic pop
  // -1 EBADF unless descriptor 1000 was inherited open; then 0.
  close(1000);
  return 0;
}
