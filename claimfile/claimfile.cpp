// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// claimfile: creates an empty "my_file" in the working directory, with mode
// 0644, only when nothing of that name is there yet. When it cannot, it says
// on standard output which file it failed to create and why, and exits 255.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

// The one spelling of the name; the open and the message both take it.
const char *const kFilename = "my_file";
// What Linux reports when an exclusive create finds the name taken (EEXIST).
const int kFileExistsErr = 17;

int main() {
  // Clear the inherited mask so that 0644 reaches the file as written. The
  // old mask is not restored: nothing else is created before the exit.
  umask(0);

  // O_EXCL makes the create fail on any existing entry, a dangling symbolic
  // link included, so nothing that is already there is opened or truncated.
  const int file_descriptor =
      open(kFilename, O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (file_descriptor == -1) {
    // Saved before printing: the first printf may change errno.
    const int open_error = errno;
    printf("There was a problem creating '%s'!\n", kFilename);
    if (open_error == kFileExistsErr) {
      puts("The file already exists!");
    } else {
      printf("Unknown errono: %d\n", open_error);
    }
    return -1;
  }

  // Nothing is written: the file stays empty. A failed close changes nothing
  // that a caller could act on, so its result is not examined.
  close(file_descriptor);
  return 0;
}
