// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
//
// minitrace: a system-call tracer as a systems course writes one, with
// ptrace. It prints raw values, as the registers hold them, and reads a
// string out of the traced program only where it is a path:
//
//   minitrace [-f] -o FILE -- PROGRAM [ARG ...]
//
//   1234 openat(0xffffff9c, "my_file", 0xc1, 0x1a4) = 3
//   1234 write(1, 0x55d0c1e4a2a0, 6) = 6
//   1234 +++ exited with 0 +++
//
// -f follows the children that the program forks. Try it with
//   syscall-probes check --name minitrace --observer "minitrace -f -o {report} --"
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

struct Known {
  long number;
  const char *name;
  int args;
  int path_arg;  // which argument is a path, which we read: -1 none
};

// Enough of x86-64's table for small programs; the rest print by number.
const Known kKnown[] = {
    {0, "read", 3, -1},       {1, "write", 3, -1},      {2, "open", 3, 0},
    {3, "close", 1, -1},      {5, "fstat", 2, -1},     {9, "mmap", 6, -1},
    {10, "mprotect", 3, -1},  {11, "munmap", 2, -1},   {12, "brk", 1, -1},
    {16, "ioctl", 3, -1},     {17, "pread64", 4, -1},  {20, "writev", 3, -1},
    {21, "access", 2, 0},     {39, "getpid", 0, -1},   {56, "clone", 5, -1},
    {57, "fork", 0, -1},      {59, "execve", 3, 0},    {60, "exit", 1, -1},
    {95, "umask", 1, -1},     {110, "getppid", 0, -1}, {158, "arch_prctl", 2, -1},
    {231, "exit_group", 1, -1}, {257, "openat", 4, 1}, {262, "newfstatat", 4, 1},
};

// The string at ADDR in the traced process, quoted as C writes it; "..."
// after it when it is longer than 256 bytes.
std::string peek_string(pid_t pid, unsigned long addr) {
  std::string quoted;
  for (unsigned long read = 0; read < 256; read += sizeof(long)) {
    errno = 0;
    const long word = ptrace(PTRACE_PEEKDATA, pid, addr + read, nullptr);
    if (errno != 0) break;
    const char *c = reinterpret_cast<const char *>(&word);
    for (std::size_t i = 0; i < sizeof word; ++i) {
      if (c[i] == '\0') return "\"" + quoted + "\"";
      const unsigned char b = c[i];
      char escaped[8];
      if (b == '\n') std::snprintf(escaped, sizeof escaped, "\\n");
      else if (b == '"' || b == '\\') std::snprintf(escaped, sizeof escaped, "\\%c", b);
      else if (b < 32 || b > 126) std::snprintf(escaped, sizeof escaped, "\\%o", b);
      else std::snprintf(escaped, sizeof escaped, "%c", b);
      quoted += escaped;
    }
  }
  return "\"" + quoted + "\"...";
}

std::string value(unsigned long long v) {
  char text[32];  // small numbers in decimal, the rest in hex
  if (static_cast<long long>(v) > -4096 && static_cast<long long>(v) < 4096)
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(v));
  else
    std::snprintf(text, sizeof text, "%#llx", v);
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  bool follow = false;
  const char *out_name = nullptr;
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "-f") == 0) follow = true;
    else if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) out_name = argv[++i];
  }
  if (!out_name || i + 1 >= argc) {
    std::fprintf(stderr, "usage: minitrace [-f] -o FILE -- PROGRAM [ARG ...]\n");
    return 2;
  }
  // O_CLOEXEC: the report must not stay open in the program we trace.
  const int fd = open(out_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FILE *out = fd < 0 ? nullptr : fdopen(fd, "w");
  if (!out) { std::perror(out_name); return 2; }

  const pid_t child = fork();
  if (child < 0) { std::perror("minitrace: fork"); return 2; }
  if (child == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execvp(argv[i + 1], argv + i + 1);
    std::perror(argv[i + 1]);
    _exit(127);
  }
  waitpid(child, nullptr, 0);  // stopped at its exec
  long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL;
  if (follow) options |= PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE;
  ptrace(PTRACE_SETOPTIONS, child, nullptr, options);
  ptrace(PTRACE_SYSCALL, child, nullptr, nullptr);

  std::map<pid_t, std::string> pending;  // a call entered and not yet left
  int status = 0, program_status = 0;
  for (pid_t pid; (pid = waitpid(-1, &status, __WALL)) > 0;) {
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      if (WIFEXITED(status))
        std::fprintf(out, "%d +++ exited with %d +++\n", pid, WEXITSTATUS(status));
      else
        std::fprintf(out, "%d +++ killed by signal %d +++\n", pid, WTERMSIG(status));
      if (pid == child) program_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pending.erase(pid);
      continue;
    }
    int signal = 0;
    if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {  // a system call's entry or exit
      user_regs_struct regs;
      ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
      if (!pending.count(pid)) {
        const Known *known = nullptr;
        for (const Known &k : kKnown)
          if (k.number == static_cast<long>(regs.orig_rax)) known = &k;
        const unsigned long long args[] = {regs.rdi, regs.rsi, regs.rdx,
                                           regs.r10, regs.r8, regs.r9};
        std::string line = known ? known->name : "syscall_" + std::to_string(regs.orig_rax);
        line += "(";
        for (int a = 0; a < (known ? known->args : 6); ++a) {
          if (a) line += ", ";
          if (known && a == known->path_arg)
            line += peek_string(pid, args[a]);
          else
            line += value(args[a]);
        }
        line += ")";
        if (regs.orig_rax == 231 || regs.orig_rax == 60) {  // it does not return
          std::fprintf(out, "%d %s = ?\n", pid, line.c_str());
        } else {
          pending[pid] = line;
        }
      } else {
        std::fprintf(out, "%d %s = %lld\n", pid, pending[pid].c_str(),
                     static_cast<long long>(regs.rax));
        pending.erase(pid);
      }
    } else if (status >> 16 == 0 && WSTOPSIG(status) != SIGSTOP &&
               WSTOPSIG(status) != SIGTRAP) {
      signal = WSTOPSIG(status);  // the program's own signal: pass it on
    }
    ptrace(PTRACE_SYSCALL, pid, nullptr, signal);
  }
  std::fclose(out);
  return program_status;
}
