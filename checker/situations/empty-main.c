/* SPDX-FileCopyrightText: 2026 The syscall-probes authors
   SPDX-License-Identifier: MIT */
/* The baseline for the start-up cost: an empty C program, gcc -O0 -g. */
int main(void) {
  return 0;
}
