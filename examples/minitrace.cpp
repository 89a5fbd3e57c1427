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
// -f follows the children that the program forks; -j writes JSON lines,
//   {"pid":1234,"call":"write","nr":1,"args":[1,94364,6],"ret":6}
// Try it with
//   syscall-probes check --name minitrace --observer "minitrace -f -o {report}
//   --"
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <sstream>
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
    {0, "read", 3, -1},         {1, "write", 3, -1},
    {2, "open", 3, 0},          {3, "close", 1, -1},
    {5, "fstat", 2, -1},        {9, "mmap", 6, -1},
    {10, "mprotect", 3, -1},    {11, "munmap", 2, -1},
    {12, "brk", 1, -1},         {16, "ioctl", 3, -1},
    {17, "pread64", 4, -1},     {20, "writev", 3, -1},
    {21, "access", 2, 0},       {39, "getpid", 0, -1},
    {56, "clone", 5, -1},       {57, "fork", 0, -1},
    {59, "execve", 3, 0},       {60, "exit", 1, -1},
    {95, "umask", 1, -1},       {110, "getppid", 0, -1},
    {158, "arch_prctl", 2, -1}, {231, "exit_group", 1, -1},
    {257, "openat", 4, 1},      {262, "newfstatat", 4, 1},
};

// And of i386's, for a 32-bit program, which enters its calls with int 0x80
// and numbers them its own way.
const Known kKnown32[] = {
    {1, "exit", 1, -1},         {2, "fork", 0, -1},     {3, "read", 3, -1},
    {4, "write", 3, -1},        {5, "open", 3, 0},      {6, "close", 1, -1},
    {11, "execve", 3, 0},       {20, "getpid", 0, -1},  {33, "access", 2, 0},
    {45, "brk", 1, -1},         {54, "ioctl", 3, -1},   {60, "umask", 1, -1},
    {64, "getppid", 0, -1},     {91, "munmap", 2, -1},  {120, "clone", 5, -1},
    {125, "mprotect", 3, -1},   {146, "writev", 3, -1}, {192, "mmap2", 6, -1},
    {252, "exit_group", 1, -1}, {295, "openat", 4, 1},
};

// Whether the process runs in 32-bit mode: its code segment is i386's.
bool compat(const user_regs_struct &regs) {
  return regs.cs == 0x23;
}

const Known *known_call(const user_regs_struct &regs) {
  const bool i386 = compat(regs);
  const Known *call = i386 ? std::begin(kKnown32) : std::begin(kKnown);
  const Known *last = i386 ? std::end(kKnown32) : std::end(kKnown);
  for (; call != last; ++call) {
    if (call->number == static_cast<long>(regs.orig_rax)) {
      return call;
    }
  }
  return nullptr;
}

// A byte as C quotes it in a string.
std::string escaped(unsigned char code) {
  if (code == '\n') return "\\n";
  if (code == '"' || code == '\\')
    return std::string("\\") + static_cast<char>(code);
  if (code >= 32 && code <= 126) return std::string(1, static_cast<char>(code));
  std::string octal = "\\";
  for (const int shift : {6, 3, 0})
    octal += static_cast<char>('0' + ((code >> shift) & 7));
  return octal;
}

// Up to 256 bytes of the string at ADDR in the traced process; CUT when it
// is longer.
std::string peek_bytes(pid_t pid, unsigned long long addr, bool &cut) {
  std::string bytes;
  cut = false;
  for (unsigned long long offset = 0; offset < 256; offset += sizeof(long)) {
    errno = 0;
    const long word = ptrace(PTRACE_PEEKDATA, pid, addr + offset, nullptr);
    if (errno != 0) return bytes;
    char chunk[sizeof word];
    std::memcpy(chunk, &word, sizeof word);
    for (const char byte : chunk) {
      if (byte == '\0') return bytes;
      bytes += byte;
    }
  }
  cut = true;
  return bytes;
}

// Bytes quoted as C writes a string, "..." after it where it was cut.
std::string c_quoted(const std::string &bytes, bool cut) {
  std::string quoted = "\"";
  for (const char byte : bytes)
    quoted += escaped(static_cast<unsigned char>(byte));
  return quoted + (cut ? "\"..." : "\"");
}

// Bytes as a JSON string: each byte that is not plain ASCII as \u00XX.
std::string json_quoted(const std::string &bytes) {
  std::string quoted = "\"";
  for (const char byte : bytes) {
    const auto code = static_cast<unsigned char>(byte);
    if (code == '"' || code == '\\') {
      quoted += '\\';
      quoted += byte;
    } else if (code >= 32 && code <= 126) {
      quoted += byte;
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", code);
      quoted += escape;
    }
  }
  return quoted + "\"";
}

// A register's value: small numbers in decimal, the rest in hex.
std::string raw(unsigned long long value) {
  const auto as_signed = static_cast<long long>(value);
  if (as_signed > -4096 && as_signed < 4096) return std::to_string(as_signed);
  std::ostringstream hex;
  hex << "0x" << std::hex << value;
  return hex.str();
}

// The call the process has just entered: "name(arg, arg)", or with JSON
// the start of its object, {"pid":1234,"call":"write","nr":1,"args":[...]
std::string entered(pid_t pid, const user_regs_struct &regs, bool json) {
  const Known *known = known_call(regs);
  // An i386 program's arguments are in ebx, ecx, edx, esi, edi and ebp, 32
  // bits each: a value as signed, an address as it is.
  const bool i386 = compat(regs);
  unsigned long long args[] = {regs.rdi, regs.rsi, regs.rdx,
                               regs.r10, regs.r8,  regs.r9};
  unsigned long long addresses[6];
  const unsigned long long args32[] = {regs.rbx, regs.rcx, regs.rdx,
                                       regs.rsi, regs.rdi, regs.rbp};
  for (int index = 0; index < 6; ++index) {
    addresses[index] = i386 ? args32[index] & 0xffffffffULL : args[index];
    if (i386)
      args[index] = static_cast<unsigned long long>(static_cast<long long>(
          static_cast<int>(static_cast<unsigned>(args32[index]))));
  }
  const std::string number = std::to_string(regs.orig_rax);
  std::string line;
  if (json)
    line = "{\"pid\":" + std::to_string(pid) +
           (known != nullptr ? ",\"call\":\"" + std::string(known->name) + "\""
                             : std::string()) +
           ",\"nr\":" + number + ",\"args\":[";
  else
    line = (known != nullptr ? known->name : "syscall_" + number) + "(";
  const int count = known != nullptr ? known->args : 6;
  for (int index = 0; index < count; ++index) {
    if (index > 0) line += json ? "," : ", ";
    if (known != nullptr && index == known->path_arg) {
      bool cut = false;
      const std::string bytes = peek_bytes(pid, addresses[index], cut);
      line += json ? json_quoted(bytes) : c_quoted(bytes, cut);
    } else {
      line += json ? std::to_string(static_cast<long long>(args[index]))
                   : raw(args[index]);
    }
  }
  return line + (json ? "]" : ")");
}

class Tracer {
 public:
  Tracer(FILE *out, bool json) : out_(out), json_(json) {}
  // Whether a line could not be written.
  bool failed() const {
    return failed_;
  }

  // Follows every traced process until the last one ends; the exit status
  // of the first, the program.
  int run(pid_t program) {
    int status = 0;
    int program_status = 0;
    for (pid_t pid = 0; (pid = waitpid(-1, &status, __WALL)) > 0;) {
      if (WIFEXITED(status) || WIFSIGNALED(status)) {
        const int code =
            WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        const std::string how = WIFEXITED(status) ? "exited" : "killed";
        const int value = WIFEXITED(status) ? code : WTERMSIG(status);
        if (json_)
          print(pid, "{\"pid\":" + std::to_string(pid) + ",\"" + how +
                         "\":" + std::to_string(value) + "}");
        else
          print(pid,
                WIFEXITED(status)
                    ? "+++ exited with " + std::to_string(code) + " +++"
                    : "+++ killed by signal " + std::to_string(value) + " +++");
        if (pid == program) program_status = code;
        pending_.erase(pid);
        continue;
      }
      int signal = 0;
      if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {
        stopped_at_call(pid);
      } else if (status >> 16 == 0 && WSTOPSIG(status) != SIGSTOP &&
                 WSTOPSIG(status) != SIGTRAP) {
        signal = WSTOPSIG(status);  // the program's own signal: pass it on
      }
      ptrace(PTRACE_SYSCALL, pid, nullptr, signal);
    }
    return program_status;
  }

 private:
  void print(pid_t pid, const std::string &text) {
    const std::string line =
        (json_ ? "" : std::to_string(pid) + " ") + text + "\n";
    if (std::fputs(line.c_str(), out_) == EOF) failed_ = true;
  }

  // A system-call stop: its entry, or its exit with the result.
  void stopped_at_call(pid_t pid) {
    user_regs_struct regs{};
    ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
    const auto found = pending_.find(pid);
    if (found != pending_.end()) {
      const std::string result =
          std::to_string(static_cast<long long>(regs.rax));
      print(pid, found->second +
                     (json_ ? ",\"ret\":" + result + "}" : " = " + result));
      pending_.erase(found);
      return;
    }
    const std::string line = entered(pid, regs, json_);
    const Known *known = known_call(regs);
    const std::string name = known != nullptr ? known->name : "";
    if (name == "exit_group" || name == "exit") {  // it does not return
      print(pid, line + (json_ ? ",\"ret\":null}" : " = ?"));
    } else {
      pending_[pid] = line;
    }
  }

  FILE *out_;
  bool json_;
  bool failed_ = false;
  std::map<pid_t, std::string> pending_;  // a call entered, not yet left
};

}  // namespace

int main(int argc, char **argv) {
  bool follow = false;
  bool json = false;
  const char *out_name = nullptr;
  int first = 1;
  for (; first < argc && std::strcmp(argv[first], "--") != 0; ++first) {
    if (std::strcmp(argv[first], "-f") == 0) {
      follow = true;
    } else if (std::strcmp(argv[first], "-j") == 0) {
      json = true;
    } else if (std::strcmp(argv[first], "-o") == 0 && first + 1 < argc) {
      out_name = argv[++first];
    }
  }
  if (out_name == nullptr || first + 1 >= argc) {
    std::fputs("usage: minitrace [-f] [-j] -o FILE -- PROGRAM [ARG ...]\n",
               stderr);
    return 2;
  }
  // O_CLOEXEC: the report must not stay open in the program we trace.
  const int fd = open(out_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FILE *out = fd < 0 ? nullptr : fdopen(fd, "w");
  if (out == nullptr) {
    std::perror(out_name);
    return 2;
  }
  const pid_t child = fork();
  if (child < 0) {
    std::perror("minitrace: fork");
    (void)std::fclose(out);
    return 2;
  }
  if (child == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execvp(argv[first + 1], argv + first + 1);
    std::perror(argv[first + 1]);
    _exit(127);
  }
  waitpid(child, nullptr, 0);  // stopped at its exec
  long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL;
  if (follow) {
    options |= PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE;
  }
  ptrace(PTRACE_SETOPTIONS, child, nullptr, options);
  ptrace(PTRACE_SYSCALL, child, nullptr, 0);
  Tracer tracer(out, json);
  const int status = tracer.run(child);
  if (std::fclose(out) != 0 || tracer.failed()) {
    std::perror(out_name);
    return 2;
  }
  return status;
}
