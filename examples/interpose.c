// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
//
// interpose: an observer of calls into the C library, as LD_PRELOAD loads
// one. It runs in the program's own process: each call that the program
// makes through its PLT comes here first, is made, and is written as a line
// of ltrace's text, or, with INTERPOSE_JSON=1, as a JSON line:
//
//   INTERPOSE_REPORT=FILE LD_PRELOAD=/path/libinterpose.so PROGRAM [ARG ...]
//
//   1234 write(1, "before\n", 7) = 7
//   {"pid":1234,"name":"write","args":[1,"before\n",7],"ret":7}
//
// Each line is appended to FILE by a file opened and closed for it, so that
// no descriptor of the observer's stays in the program. Try it with
//   syscall-probes check --name interpose --observer "env
//   INTERPOSE_REPORT={report} LD_PRELOAD=$PWD/libinterpose.so"
// RTLD_NEXT is GNU's (and musl's): the names below are the C library's own.
#define _GNU_SOURCE  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

// clang 14's analyzer takes each va_list here, though set by va_start, for
// one that is not.
// NOLINTBEGIN(clang-analyzer-valist.Uninitialized)

// The C library's own function of that name, found past this one (a union:
// ISO C casts no object pointer to a function's).
typedef void (*Function)(void);
static Function real(const char *name) {
  union {
    void *object;
    Function function;
  } found;
  found.object = dlsym(RTLD_NEXT, name);
  return found.function;
}
#define REAL(name) ((__typeof__(&(name)))real(#name))

enum { kLine = 4096, kShown = 200 };

// Our own calls go to the kernel directly, not through the functions that
// this file takes over; errno is kept as the program left it.
static void say(const char *text) {
  const char *path = getenv("INTERPOSE_REPORT");
  if (path == NULL) return;
  int *error = REAL(__errno_location)();
  const int saved = *error;
  const long fd = syscall(SYS_openat, AT_FDCWD, path,
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    syscall(SYS_write, fd, text, strlen(text));
    syscall(SYS_close, fd);
  }
  *error = saved;
}

static int json(void) {
  const char *value = getenv("INTERPOSE_JSON");
  return value != NULL && strcmp(value, "1") == 0;
}

// Appends to OUT (of kLine bytes) as snprintf would, never past its end.
static void add(char *out, const char *format, ...) {
  const size_t used = strlen(out);
  va_list args;
  va_start(args, format);
  // NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.DeprecatedOrUnsafeBufferHandling)
  vsnprintf(out + used, kLine - used, format, args);
  va_end(args);
}

// COUNT bytes at TEXT (all up to the NUL when COUNT is -1) as a quoted
// string: C's escapes, or JSON's.
static void add_string(char *out, const char *text, long count) {
  if (text == NULL) {
    add(out, json() ? "null" : "NULL");
    return;
  }
  add(out, "\"");
  for (long i = 0; count < 0 ? text[i] != '\0' : i < count; ++i) {
    if (i == kShown) {
      add(out, json() ? "\"" : "\"...");
      return;
    }
    const unsigned char c = (unsigned char)text[i];
    if (c == '"' || c == '\\')
      add(out, "\\%c", c);
    else if (c == '\n')
      add(out, "\\n");
    else if (c >= 32 && c < 127)
      add(out, "%c", c);
    else
      add(out, json() ? "\\u%04x" : "\\%03o", c);
  }
  add(out, "\"");
}

static pid_t own_pid(void) {
  return (pid_t)syscall(SYS_getpid);
}

// The line's start: "1234 name(", or {"pid":1234,"name":"name","args":[
static void begin(char *out, const char *name) {
  out[0] = '\0';
  if (json())
    add(out, "{\"pid\":%d,\"name\":\"%s\",\"args\":[", own_pid(), name);
  else
    add(out, "%d %s(", own_pid(), name);
}

static void comma(char *out) {
  add(out, json() ? "," : ", ");
}

// The line's end, with the call's result (and errno where it failed); one
// that does not return has none.
static void end(char *out, long result, int error) {
  if (json())
    add(out, error ? "],\"ret\":%ld,\"errno\":%d}\n" : "],\"ret\":%ld}\n",
        result, error);
  else
    add(out, ") = %ld\n", result);
  say(out);
}

static int last_error(void) {
  return *REAL(__errno_location)();
}

static void exited(int status) {
  char out[kLine] = "";
  if (json())
    add(out, "{\"pid\":%d,\"exited\":%d}\n", own_pid(), status & 0xff);
  else
    add(out, "%d +++ exited (status %d) +++\n", own_pid(), status & 0xff);
  say(out);
}

mode_t umask(mode_t mask) {
  const mode_t old = REAL(umask)(mask);
  char out[kLine];
  begin(out, "umask");
  add(out, json() ? "%u" : "0%o", (unsigned)mask);  // JSON has no octal
  end(out, old, 0);
  return old;
}

static int opened(const char *path, int flags, mode_t mode, int result) {
  const int error = result < 0 ? last_error() : 0;
  char out[kLine];
  begin(out, "open");
  add_string(out, path, -1);
  comma(out);
  add(out, "%d", flags);
  if (flags & (O_CREAT | O_TMPFILE)) {
    comma(out);
    add(out, json() ? "%u" : "0%o", (unsigned)mode);
  }
  end(out, result, error);
  return result;
}

int open(const char *path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  return opened(path, flags, mode, REAL(open)(path, flags, mode));
}

int close(int fd) {
  const int result = REAL(close)(fd);
  const int error = result < 0 ? last_error() : 0;
  char out[kLine];
  begin(out, "close");
  add(out, "%d", fd);
  end(out, result, error);
  return result;
}

ssize_t read(int fd, void *buffer, size_t count) {
  const ssize_t result = REAL(read)(fd, buffer, count);
  // cppcheck-suppress knownConditionTrueFalse
  const int error = result < 0 ? last_error() : 0;
  char out[kLine];
  begin(out, "read");
  add(out, "%d", fd);
  comma(out);
  add(out, "%lu", (unsigned long)buffer);  // memory it fills: its address
  comma(out);
  add(out, "%lu", (unsigned long)count);
  end(out, result, error);
  return result;
}

ssize_t write(int fd, const void *buffer, size_t count) {
  const ssize_t result = REAL(write)(fd, buffer, count);
  // cppcheck-suppress knownConditionTrueFalse
  const int error = result < 0 ? last_error() : 0;
  char out[kLine];
  begin(out, "write");
  add(out, "%d", fd);
  comma(out);
  add_string(out, buffer, (long)count);
  comma(out);
  add(out, "%lu", (unsigned long)count);
  end(out, result, error);
  return result;
}

// A call without arguments, written as NAME() = RESULT.
static pid_t without_arguments(const char *name, pid_t result) {
  const int error = result < 0 ? last_error() : 0;
  char out[kLine];
  begin(out, name);
  end(out, result, error);
  return result;
}

// Each side of a fork writes its own line: the child's fork returns 0.
pid_t fork(void) {
  return without_arguments("fork", REAL(fork)());
}

pid_t getpid(void) {
  return without_arguments("getpid", REAL(getpid)());
}

pid_t getppid(void) {
  return without_arguments("getppid", REAL(getppid)());
}

int *__errno_location(
    void) {  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
  int *result = REAL(__errno_location)();
  char out[kLine];
  begin(out, "__errno_location");
  end(out, (long)result, 0);
  return result;
}

int puts(const char *text) {
  const int result = REAL(puts)(text);
  char out[kLine];
  begin(out, "puts");
  add_string(out, text, -1);
  end(out, result, 0);
  return result;
}

// printf's values after the format, read by its conversions: %s a string,
// %d a number; what else a format may hold these programs do not use.
int printf(const char *format, ...) {
  va_list args, shown;
  va_start(args, format);
  va_copy(shown, args);
  const int result = vprintf(format, args);
  va_end(args);
  char out[kLine];
  begin(out, "printf");
  add_string(out, format, -1);
  for (const char *c = format; *c != '\0'; ++c) {
    if (*c != '%' || c[1] == '\0') continue;
    ++c;
    if (*c == 's') {
      comma(out);
      add_string(out, va_arg(shown, const char *), -1);
    } else if (*c == 'd') {
      comma(out);
      add(out, "%d", va_arg(shown, int));
    }
  }
  va_end(shown);
  end(out, result, 0);
  return result;
}

// exit does not return: its line has no result, and the process's end
// follows it.
void exit(int status) {
  char out[kLine];
  begin(out, "exit");
  add(out, "%d", status);
  add(out, json() ? "],\"ret\":null}\n" : " <no return ...>\n");
  say(out);
  exited(status);
  REAL(exit)(status);
  abort();  // not reached: for the compiler, which knows exit's kind
}

// main's return is the program's exit status, which the C library passes
// to exit on its own, past this file: main is wrapped to see it.
static int (*program_main)(int, char **, char **);

static int wrapped_main(int argc, char **argv, char **envp) {
  const int status = program_main(argc, argv, envp);
  exited(status);
  return status;
}

typedef int (*Main)(int, char **, char **);
typedef int (*Start)(Main, int, char **, Function, Function, Function, void *);
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __libc_start_main(Main main, int argc, char **argv, Function init,
                      Function fini, Function rtld_fini, void *stack_end) {
  program_main = main;
  const Start start = (Start)real("__libc_start_main");
  return start(wrapped_main, argc, argv, init, fini, rtld_fini, stack_end);
}

// NOLINTEND(clang-analyzer-valist.Uninitialized)
