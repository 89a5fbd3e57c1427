// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
#include "check/check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "calls/calls.h"
#include "calls/elf.h"
#include "judge/judge.h"
#include "run/guard.h"
#include "run/run.h"

namespace probes {
namespace {

// ltrace 0.7.91 reads prototypes per library, by its name, and has none for
// musl's C library, which is its loader (ld-musl-x86_64.so.1); libc's file,
// given with -F, holds for every library, as 0.7.3's one file did. 0.7.3 has
// no such file, passes over it and reads its own /etc/ltrace.conf.
#define LTRACE_PROTOTYPES \
  "-F /usr/share/ltrace/libc.so.conf -F /etc/ltrace.conf"

// The conditions that change what the loader does before main: which
// descriptors are open (standard output closed or not), the user, the limit,
// the mount.
const char *const kStartupConditions[] = {"stdout", "user", "nproc", "rofs"};
constexpr std::size_t kMaxStartup = 2000;

// What an observer that reads the kernel's tracing says when the kernel or
// its permissions refuse it (perf_event_paranoid, a missing capability, a
// locked-down kernel, a kernel that gives it no type information, as
// bpftrace finds without CAP_SYS_ADMIN where the kernel has no BTF of its
// own): the one failure of its start-up that is a skip.
const char *const kRefusals[] = {"Permission denied",
                                 "Operation not permitted",
                                 "perf_event_paranoid",
                                 "required permissions",
                                 "CAP_SYS_ADMIN",
                                 "CAP_BPF",
                                 "not supported",
                                 "Function not implemented",
                                 "lockdown",
                                 "BTF information"};

bool refused(const std::string &said) {
  for (const char *refusal : kRefusals)
    if (said.find(refusal) != std::string::npos) return true;
  return false;
}

// Why this machine cannot run the build's programs: another processor's, or
// i386's where 32-bit emulation is off; "" when it can. Found once: all are
// of one ABI.
const std::string &kernel_refuses() {
  static const std::string why = [] {
    const std::string empty = places().programs + "/empty-main";
    const Abi abi = abi_of(empty);
    if (!native(abi))
      return std::string("this machine's processor does not run ") +
             abi_name(abi) +
             " programs: qemu-user emulates them here (--observer qemu-user), "
             "and tools/vm runs them on a kernel of their own";
    if (abi != Abi::kI386) return std::string();
    const std::string error = kernel_refusal(empty);
    return error.empty() ? error
                         : "this kernel does not run i386 programs (" + error +
                               "): its 32-bit emulation is off; "
                               "ia32_emulation=on at boot turns it on";
  }();
  return why;
}

std::vector<Call> calls_of(const std::string &text, Format format) {
  std::vector<Process> processes;
  read_report(text, format, processes);
  return processes.empty() ? std::vector<Call>() : processes.front().calls;
}

// A file written whole into the folder FD, never through a link.
void write_file(int fd, const std::string &name, const std::string &bytes) {
  const int file =
      openat(fd, name.c_str(),
             O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  bool done = file >= 0 && write_all(file, bytes);
  const int error = errno;
  if (file >= 0 && close(file) != 0 && done) done = false;
  if (!done) throw OwnFailure("cannot keep " + name + ": " + error_text(error));
}

// The folder NAME in FD, made when it is not there; its descriptor.
int folder_in(int fd, const std::string &name) {
  if (mkdirat(fd, name.c_str(), 0755) != 0 && errno != EEXIST)
    throw OwnFailure("cannot keep " + name + ": " + error_text(errno));
  const int folder =
      openat(fd, name.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0)
    throw OwnFailure("cannot keep " + name + ": " + error_text(errno));
  return folder;
}

std::string file_name(std::string name) {
  for (char &c : name)
    if (c == '/' || c == ' ' || c == '\0') c = '_';
  return name == "." || name == ".." ? "_" + name : name;
}

std::mutex keeping;

}  // namespace

void Observer::kept(const std::string &situation, const Seen &seen) const {
  if (keep_ < 0) return;
  const std::lock_guard<std::mutex> held(keeping);
  const int outer = folder_in(keep_, file_name(situation));
  int inner = -1;
  try {
    inner = folder_in(outer, file_name(kept_as_));
    std::string folder;
    for (const std::string &line : seen.after) folder += line + "\n";
    write_file(inner, "report", seen.report);
    write_file(inner, "stdout", seen.out);
    write_file(inner, "stderr", seen.err);
    write_file(inner, "status", std::to_string(seen.status) + "\n");
    if (seen.has_after) write_file(inner, "folder", folder);
  } catch (...) {
    close(outer);
    if (inner >= 0) close(inner);
    throw;
  }
  close(outer);
  close(inner);
}

// qemu-user, valgrind and perf trace write their reports to standard error
// unless told otherwise, where they leave the program as it is; the
// configurations that write a file (-log, -o) are how many people run them,
// and open that file in the program's process.
const BuiltIn kBuiltIn[kBuiltIns] = {
    {"strace", "strace -q -f -s 4096 -o {report} --", Format::kStrace, "strace",
     "strace",
     kOtherUsers | kUnderLimit | kMusl | kI386 | kForks | kComplete |
         kOwnStatus | kQuiet,
     Percent::kAsIs, nullptr, nullptr, nullptr},
    {"ltrace", "ltrace " LTRACE_PROTOTYPES " -f -s 4096 -o {report} --",
     Format::kLtrace, "ltrace", "ltrace",
     kOtherUsers | kUnderLimit | kMusl | kI386 | kForks | kComplete | kQuiet,
     Percent::kAsIs, nullptr, nullptr, nullptr},
    {"qemu-user", "qemu-x86_64 -strace", Format::kQemu, "qemu-x86_64",
     "qemu-user", kOtherUsers | kUnderLimit | kMusl | kI386 | kForks,
     Percent::kAsIs, "qemu-", nullptr, nullptr},
    {"qemu-user-log", "qemu-x86_64 -strace -D {report}", Format::kQemu,
     "qemu-x86_64", "qemu-user",
     kOtherUsers | kUnderLimit | kMusl | kI386 | kForks, Percent::kAvoided,
     "qemu-", nullptr, nullptr},
    // Nulgrind: system calls alone, without memcheck's words in between;
    // no gdb server, whose pipes would be files of its own to clean up.
    {"valgrind",
     "valgrind --tool=none --trace-syscalls=yes --trace-children=yes --vgdb=no",
     Format::kValgrind, "valgrind", "valgrind",
     kOtherUsers | kUnderLimit | kMusl | kI386 | kForks, Percent::kAsIs,
     nullptr, nullptr, nullptr},
    {"valgrind-log-file",
     "valgrind --tool=none --trace-syscalls=yes --trace-children=yes --vgdb=no "
     "--log-file={report}",
     Format::kValgrind, "valgrind", "valgrind",
     kOtherUsers | kUnderLimit | kMusl | kI386 | kForks, Percent::kDoubled,
     nullptr, nullptr, nullptr},
    {"perf-trace", "perf trace --", Format::kPerf, "perf", "linux-perf",
     kUnderLimit | kMayBeRefused | kMusl | kI386 | kForks, Percent::kAsIs,
     nullptr, nullptr, nullptr},
    {"perf-trace-o", "perf trace -o {report} --", Format::kPerf, "perf",
     "linux-perf", kUnderLimit | kMayBeRefused | kMusl | kI386 | kForks,
     Percent::kAsIs, nullptr, nullptr, nullptr},
    // As bpftrace users run it, -c and -o, which leave their marks in the
    // program: the report's descriptor, and blank lines in its output.
    {"bpftrace",
     "sh -c 's=$1; shift; exec env BPFTRACE_STRLEN=200 BPFTRACE_MAX_STRLEN=200 "
     "bpftrace --no-warnings -q -o \"$0\" "
     "-e \"$s\" -c \"$*\"' {report} '"
     // Every system call of the program and its children, at its return, with
     // the strings of the calls these programs make (read from the process's
     // memory: uptr) and the rest as raw values; a call that never returns
     // (exit_group) at its entry. bpftrace shows no exits, and its -c takes
     // one command line, which it splits at spaces.
     R"(tracepoint:sched:sched_process_fork /@traced[args->parent_pid]/ { @traced[args->child_pid] = 1; }
tracepoint:sched:sched_process_exit /@traced[curtask->tgid] && curtask->pid == curtask->tgid/ { delete(@traced[curtask->tgid]); }
tracepoint:raw_syscalls:sys_enter /@traced[curtask->tgid] || pid == cpid/ {
  @traced[curtask->tgid] = 1;
  if (args->id == 231) {
    printf("%d exit_group(%d) = ?\n", tid, (int32)args->args[0]);
  } else if (args->id == 60) {
    printf("%d exit(%d) = ?\n", tid, (int32)args->args[0]);
  } else {
    @nr[tid] = args->id + 1;
    @a0[tid] = args->args[0]; @a1[tid] = args->args[1]; @a2[tid] = args->args[2];
    @a3[tid] = args->args[3]; @a4[tid] = args->args[4]; @a5[tid] = args->args[5];
  }
}
tracepoint:raw_syscalls:sys_exit /@traced[curtask->tgid] && @nr[tid]/ {
  $n = @nr[tid] - 1; $fd = (int32)@a0[tid];
  if ($n == 0) { printf("%d read(%d, 0x%lx, %lu) = %ld\n", tid, $fd, @a1[tid], @a2[tid], args->ret); }
  else if ($n == 1) { printf("%d write(%d, \"%r\", %lu) = %ld\n", tid, $fd, buf(uptr(@a1[tid]), @a2[tid]), @a2[tid], args->ret); }
  else if ($n == 2) { printf("%d open(\"%s\", %d, 0%o) = %ld\n", tid, str(uptr(@a0[tid])), @a1[tid], @a2[tid], args->ret); }
  else if ($n == 3) { printf("%d close(%d) = %ld\n", tid, $fd, args->ret); }
  else if ($n == 5) { printf("%d fstat(%d, 0x%lx) = %ld\n", tid, $fd, @a1[tid], args->ret); }
  else if ($n == 16) { printf("%d ioctl(%d, 0x%lx, 0x%lx) = %ld\n", tid, $fd, @a1[tid], @a2[tid], args->ret); }
  else if ($n == 20) { printf("%d writev(%d, 0x%lx, %lu) = %ld\n", tid, $fd, @a1[tid], @a2[tid], args->ret); }
  else if ($n == 39) { printf("%d getpid() = %ld\n", tid, args->ret); }
  else if ($n == 56) { printf("%d clone(0x%lx, 0x%lx, 0x%lx, 0x%lx, 0x%lx) = %ld\n", tid, @a0[tid], @a1[tid], @a2[tid], @a3[tid], @a4[tid], args->ret); }
  else if ($n == 95) { printf("%d umask(0%o) = 0%o\n", tid, @a0[tid], args->ret); }
  else if ($n == 110) { printf("%d getppid() = %ld\n", tid, args->ret); }
  else if ($n == 257) { printf("%d openat(%d, \"%s\", %d, 0%o) = %ld\n", tid, $fd, str(uptr(@a1[tid])), @a2[tid], @a3[tid], args->ret); }
  else if ($n == 262) { printf("%d newfstatat(%d, \"%s\", 0x%lx, 0x%lx) = %ld\n", tid, $fd, str(uptr(@a1[tid])), @a2[tid], @a3[tid], args->ret); }
  else { printf("%d syscall_%d(0x%lx, 0x%lx, 0x%lx, 0x%lx, 0x%lx, 0x%lx) = %ld\n", tid, $n, @a0[tid], @a1[tid], @a2[tid], @a3[tid], @a4[tid], @a5[tid], args->ret); }
  delete(@nr[tid]); delete(@a0[tid]); delete(@a1[tid]); delete(@a2[tid]);
  delete(@a3[tid]); delete(@a4[tid]); delete(@a5[tid]);
})"
     "'",
     Format::kStrace, "bpftrace", "bpftrace", kMayBeRefused | kMusl | kForks,
     Percent::kAsIs, nullptr,
     "bpftrace loads its programs into the kernel, which only root may: "
     "check as root",
     // The script knows x86-64's numbers; an i386 process's are others (3
     // is read, not close), and its exit_group, 252, would never be shown.
     "the checker's bpftrace script knows x86-64's call numbers: it cannot "
     "observe an i386 program"},
    // Recorded, then replayed into the report; the data stays beside it.
    {"uftrace",
     "sh -c 'uftrace record --force -a -d \"$0.data\" \"$@\"; "
     "exec uftrace replay --no-pager -f tid -d \"$0.data\" >\"$0\"' {report}",
     Format::kUftrace, "uftrace", "uftrace", kOtherUsers | kForks,
     Percent::kAsIs, nullptr, nullptr, nullptr},
    // gdb's catch syscall, as a script that students write: the program run
    // through a shell that gives it the streams (3 and 4) that gdb's own
    // messages stay off, and each call written in strace's shape at its
    // return, the strings read from the program's memory and the rest as
    // raw registers. Its report is "$0", the script "$0.py". gdb 13 loses
    // a parent's calls after fork, one run in two, so it follows no forks;
    // and it forks a process of its own to test ptrace while the program
    // runs, which a limit on processes would count against the program.
    {"gdb",
     "sh -c 'o=\">&-\"; e=\"2>&-\"; "
     "if [ -e /proc/self/fd/1 ]; then exec 3>&1; o=\">&3\"; fi; "
     "if [ -e /proc/self/fd/2 ]; then exec 4>&2; e=\"2>&4\"; fi; "
     "s=$1; shift; printf \"streams = \\\"%s %s 3>&- 4>&-\\\"\\n%s\" "
     "\"$o\" \"$e\" \"$s\" >\"$0.py\" && "
     "exec gdb -nx -q -batch -iex \"maint set worker-threads 0\" -x \"$0.py\" "
     "--args \"$@\" >\"$0.gdb\"' "
     "{report} '"
     R"py(import errno, os, re, sys, gdb
report = open(__file__[:-3], "w")
names = {}
try:
    table = os.path.join(os.path.dirname(gdb.PYTHONDIR), "syscalls", "amd64-linux.xml")
    for name, number in re.findall(r"<syscall name=\"(\w+)\" number=\"(\d+)\"", open(table).read()):
        names[int(number)] = name
except OSError:
    pass
STRINGS = {"open": 0, "openat": 1, "newfstatat": 1, "execve": 0, "access": 0, "stat": 0,
           "lstat": 0, "readlink": 0, "unlink": 0, "unlinkat": 1, "mkdir": 0, "creat": 0}
for setting in ["pagination off", "confirm off", "print inferior-events off",
                "print thread-events off", "auto-solib-add off"]:
    gdb.execute("set " + setting)
entered, stops = {}, []

def quoted(address, size=None):
    if address == 0:
        return "NULL"
    memory, data = gdb.selected_inferior(), b""
    if size is None:
        while len(data) < 4096 and not data.endswith(b"\0"):
            data += bytes(memory.read_memory(address + len(data), 1))
        data = data.rstrip(b"\0")
    else:
        data = bytes(memory.read_memory(address, min(size, 4096)))
    return "\"" + "".join(chr(c) if 32 <= c < 127 and c not in (34, 92) else "\\%03o" % c
                          for c in data) + "\""

def vector(address, count):
    memory, parts = gdb.selected_inferior(), []
    for i in range(min(count, 64)):
        pair = bytes(memory.read_memory(address + 16 * i, 16))
        base, size = int.from_bytes(pair[:8], "little"), int.from_bytes(pair[8:], "little")
        parts.append("{iov_base=%s, iov_len=%d}" % (quoted(base, size), size))
    return "[" + ", ".join(parts) + "]"

def shown(name, args, result):
    words = ["0x%x" % a for a in args]
    try:
        if name in STRINGS:
            words[STRINGS[name]] = quoted(args[STRINGS[name]])
        elif name == "write":
            words[1] = quoted(args[1], args[2])
        elif name == "read" and result > 0:
            words[1] = quoted(args[1], result)
        elif name == "writev":
            words[1] = vector(args[1], args[2])
    except gdb.MemoryError:
        pass
    return "%s(%s)" % (name, ", ".join(words))

def stopped():
    if not stops:
        return
    frame, lwp = gdb.selected_frame(), gdb.selected_thread().ptid[1]
    number, value = int(frame.read_register("orig_rax")), int(frame.read_register("rax"))
    name = names.get(number, "syscall_%d" % number)
    if lwp not in entered:
        args = [int(frame.read_register(r)) & (2 ** 64 - 1)
                for r in ["rdi", "rsi", "rdx", "r10", "r8", "r9"]]
        if name in ("exit", "exit_group"):
            report.write("%d %s = ?\n" % (lwp, shown(name, args, 0)))
        else:
            entered[lwp] = args
        return
    args = entered.pop(lwp)
    error = errno.errorcode.get(-value, "E%d" % -value)
    result = "-1 " + error if -4096 < value < 0 else str(value)
    report.write("%d %s = %s\n" % (lwp, shown(name, args, value), result))

def exited(event):
    if hasattr(event, "exit_code"):
        report.write("%d +++ exited with %d +++\n" % (event.inferior.pid, event.exit_code))

def on_stop(event):
    stops[:] = [b.number for b in getattr(event, "breakpoints", [])]

gdb.events.exited.connect(exited)
gdb.events.stop.connect(on_stop)
gdb.execute("catch syscall", to_string=True)
gdb.breakpoints()[-1].commands = "silent"
try:
    gdb.execute("run " + streams, to_string=True)
    while gdb.selected_inferior().pid:
        stopped()
        stops[:] = []
        gdb.execute("continue", to_string=True)
except gdb.error as error:
    print(error, file=sys.stderr)
    if gdb.selected_inferior().pid:
        gdb.execute("kill", to_string=True)
    gdb.execute("quit 1")
report.close()
)py"
     "'",
     Format::kStrace, "gdb", "gdb", kOtherUsers | kMusl, Percent::kAsIs,
     nullptr, nullptr,
     "the checker's gdb script reads x86-64's registers: it cannot observe an "
     "i386 program"}};

const BuiltIn *built_in(const std::string &name) {
  for (const BuiltIn &observer : kBuiltIn)
    if (name == observer.name) return &observer;
  return nullptr;
}

bool split_words(const std::string &line, std::vector<std::string> &words,
                 std::string &why) {
  words.clear();
  std::string word;
  bool in_word = false;
  char quoting = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoting == '\'') {
      if (c == '\'')
        quoting = 0;
      else
        word += c;
    } else if (quoting == '"') {
      if (c == '"')
        quoting = 0;
      else if (c == '\\' && i + 1 < line.size() &&
               std::string("\"\\$`\n").find(line[i + 1]) != std::string::npos)
        word += line[++i];
      else
        word += c;
    } else if (c == '\'' || c == '"') {
      quoting = c;
      in_word = true;
    } else if (c == '\\') {
      if (++i >= line.size()) {
        why = "no escaped character";
        return false;
      }
      word += line[i];
      in_word = true;
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quoting) {
    why = "no closing quotation";
    return false;
  }
  if (in_word) words.push_back(word);
  return true;
}

std::string Observer::cannot_run(const Situation &situation) const {
  const BuiltIn *known = probes::built_in(label_);
  if (!known) return "";
  if (known->root_only && geteuid() != 0) return known->root_only;
  if (situation.other_user() && !known->can(kOtherUsers))
    return label_ +
           " reads the kernel's tracing, which is root's: it cannot run as "
           "another user";
  const std::string program = program_path(situation.program);
  if (!known->can(kMusl) && libc_of(program) == "musl")
    return label_ + " cannot observe a program built against musl";
  if (!known->can(kI386) && abi_of(program) == Abi::kI386)
    return known->why_no_i386 ? known->why_no_i386
                              : label_ + " cannot observe an i386 program";
  if (!kernel_refuses().empty() && !known->emulator) return kernel_refuses();
  if (situation.has("nproc") && !known->can(kUnderLimit))
    return label_ + " runs processes of its own, more than a limit of " +
           situation.get("nproc") + " allows";
  return "";
}

// The fewest processes under which the observer runs the empty program to
// its end, less the program's: strace 1, valgrind and an interposer 0,
// qemu-user 1 (a thread of its own). Tried from one up; -1 where no limit
// can be had here, or none up to the last tried will do.
int Observer::own_processes() {
  constexpr int kMostTried = 8;
  std::call_once(own_once_, [this] {
    const std::string empty = places().programs + "/empty-main";
    const AbiScope abi(abi_of(empty));
    for (int limit = 1; limit <= kMostTried; ++limit) {
      Situation conditions;
      conditions.name = "empty-main";
      conditions.settings = {{"nproc", std::to_string(limit)}};
      try {
        // To its end: a status of success, and a report of something.
        const Seen seen =
            run(command_for(empty), empty, {}, conditions, timeout_, percent_);
        if (seen.status == 0 && !seen.report.empty()) {
          own_ = limit - 1;
          remember(conditions, seen);
          return;
        }
      } catch (const OwnFailure &) {
        throw;
      } catch (const Failure &failure) {
        // No limit to be had, or an observer that hangs: no more trials,
        // and the situation's run says why.
        if (failure.kind != Failure::Kind::kFailed) return;
      }
    }
  });
  return own_;
}

// The trial that succeeded ran the empty program under the very limit that
// a situation with no other condition runs under: its start-up, found.
void Observer::remember(const Situation &conditions, const Seen &seen) {
  std::promise<Startup> found;
  try {
    std::string said;
    found.set_value(startup_of(conditions, seen, said));
  } catch (const Failure &) {
    return;  // the situation finds it again, and says why
  }
  const std::lock_guard<std::mutex> held(lock_);
  startups_.emplace(startup_key(conditions), found.get_future().share());
}

Situation Observer::counting_own(const Situation &situation) {
  if (!situation.has("nproc") || !unavailable_.empty() ||
      !cannot_run(situation).empty())
    return situation;
  const int own = own_processes();
  if (own < 0) return situation;  // the run says why
  // The table's limit counts one process of the observer's own.
  Situation counted = situation;
  for (auto &[key, value] : counted.settings)
    if (key == "nproc") value = std::to_string(std::stoi(value) - 1 + own);
  return counted;
}

void Observer::prepare(const Situation &given) {
  if (!unavailable_.empty() || !cannot_run(given).empty()) return;
  const Situation situation = counting_own(given);
  {
    const std::lock_guard<std::mutex> held(lock_);
    if (startups_.count(startup_key(situation)))
      return;  // found or being found
  }
  try {
    startup(situation);
  } catch (const Failure &) {
    return;  // each situation that needs it says so
  }
}

std::vector<std::string> Observer::command_for(
    const std::string &program) const {
  const BuiltIn *known = probes::built_in(label_);
  std::vector<std::string> words = command_;
  const Abi abi = abi_of(program);
  if (!known || !known->emulator || abi == Abi::kX86_64) return words;
  words.front() = known->emulator + std::string(qemu_name(abi));
  // Debian's cross C library, where the cross-built programs' loader is.
  const std::string libraries =
      std::string("/usr/") + abi_name(abi) + "-linux-gnu";
  if (!native(abi) && access(libraries.c_str(), R_OK | X_OK) == 0)
    words.insert(words.begin() + 1, {"-L", libraries});
  return words;
}

Situation Observer::startup_conditions(const Situation &situation) {
  Situation conditions;
  conditions.name = "empty-main";
  for (const auto &setting : situation.settings) {
    for (const char *condition : kStartupConditions) {
      if (setting.first == condition &&
          (condition != std::string("stdout") || setting.second == "closed"))
        conditions.settings.push_back(setting);
    }
  }
  return conditions;
}

std::string Observer::startup_key(const Situation &situation) {
  std::string key;
  const Situation conditions = startup_conditions(situation);
  for (const auto &setting : conditions.settings)
    key += setting.first + "=" + setting.second + " ";
  return key;
}

namespace {

// The calls before main in the empty program's report: its first
// process's, from after its start to before its exit.
// The empty program's calls before its end: the C library's start-up, then
// the C runtime's own calls after main (AT_EXIT).
std::vector<Call> calls_before_main(const Seen &seen, Format format,
                                    const Decoding &decoding,
                                    std::vector<Call> &at_exit) {
  std::vector<Process> processes;
  const std::string problem = read_report(seen.report, format, processes);
  if (!problem.empty()) throw Failure(problem + seen.said);
  // A library-call view of an empty program may rightly show nothing.
  if (processes.empty() && decoding.exits_shown)
    throw Failure("its report is empty" + seen.said);
  const std::string not_read = unread(seen.report, processes, format);
  if (!not_read.empty()) throw Failure(not_read + seen.said);
  std::vector<Call> calls;
  if (!processes.empty()) {
    auto named = normalise({processes.front()}, decoding, seen.observer);
    for (Call &call : named.front())
      if (!starts_process(call)) calls.push_back(std::move(call));
  }
  std::size_t end = 0;
  while (end < calls.size() && !ends_process(calls[end])) ++end;
  if (end == calls.size() && decoding.exits_shown)
    throw Failure("its report shows no exit" + seen.said);
  calls.resize(end);
  // The C runtime's own calls after main, last before the end.
  while (!calls.empty() && calls.back().is_call &&
         at_exit_call(calls.back().name)) {
    at_exit.insert(at_exit.begin(), std::move(calls.back()));
    calls.pop_back();
  }
  // Where the kernel will not run it, an empty program that made no call
  // before its exit was never started: only an emulator starts it.
  if (calls.empty() && decoding.system_calls && !kernel_refuses().empty())
    throw skip(kernel_refuses());
  // A C library starts a program in a few dozen calls, and an observer
  // adds a few hundred at most: more is no start-up.
  if (calls.size() > kMaxStartup)
    throw Failure("it reports " + std::to_string(calls.size()) +
                  " calls before main, more than any start-up makes");
  return calls;
}

}  // namespace

// Runs the empty program in the start-up's conditions and reads its calls
// before main; SAID, its standard error, whose words may be a refusal.
Observer::Startup Observer::find_startup(const Situation &conditions,
                                         std::string &said) {
  const std::string empty = places().programs + "/empty-main";
  const AbiScope abi(abi_of(empty));
  return startup_of(
      conditions,
      run(command_for(empty), empty, {}, conditions, timeout_, percent_), said);
}

// The start-up that the empty program's run SEEN, under CONDITIONS, gives.
Observer::Startup Observer::startup_of(const Situation &conditions,
                                       const Seen &seen, std::string &said) {
  said = seen.err;
  // An observer that runs the program on the kernel fails with it; one
  // that emulates it runs it, and the empty program exits 0.
  if (seen.status != 0 && !kernel_refuses().empty())
    throw skip(kernel_refuses());
  std::string name = "empty-main";
  for (const auto &[setting, value] : conditions.settings)
    name += "-" + setting + "=" + value;
  kept(name, seen);
  // An empty report of the empty program tells no format: the situation's
  // own will.
  if (!format_ && seen.report.find_first_not_of(" \n") == std::string::npos)
    return {{}, {}, std::nullopt};
  const Format format = format_.value_or(format_of(seen.report));
  Startup found{{}, {}, format};
  found.calls = calls_before_main(
      seen, format, decoding_of(format, seen.report), found.at_exit);
  return found;
}

// A start-up that could not be found, as each situation that needs it
// says: skipped where the kernel or its permissions refused the observer,
// else failed on empty-main. A hang, a crash or garbage fails as any
// observer's would.
Failure Observer::startup_failure(const Failure &failure,
                                  const std::string &said) const {
  if (failure.skipped()) return failure;
  if (!kernel_refuses().empty()) return skip(kernel_refuses());
  const std::string text = failure.what();
  if (known_to(kMayBeRefused) && refused(said.empty() ? failure.err : said))
    return skip(label_ + " cannot observe here: " + text);
  return Failure(
      "on empty-main, the empty program whose report gives the calls "
      "before main: " +
      text);
}

Observer::Startup Observer::startup(const Situation &situation) {
  const std::string key = startup_key(situation);
  // The first run that needs it finds it; the others wait for that one.
  std::promise<Startup> promise;
  std::shared_future<Startup> future;
  bool mine = false;
  {
    const std::lock_guard<std::mutex> held(lock_);
    const auto found = startups_.find(key);
    mine = found == startups_.end();
    future =
        mine
            ? startups_.emplace(key, promise.get_future().share()).first->second
            : found->second;
  }
  if (!mine) return future.get();
  std::string said;
  try {
    promise.set_value(find_startup(startup_conditions(situation), said));
  } catch (const OwnFailure &) {
    promise.set_exception(std::current_exception());
    throw;
  } catch (const Failure &failure) {
    promise.set_exception(
        std::make_exception_ptr(startup_failure(failure, said)));
  }
  return future.get();
}

namespace {

Observer::Verdict failed(const Failure &failure) {
  if (failure.skipped()) return {Word::kSkipped, {failure.what()}};
  return {Word::kFailed, {failure.what()}};
}

// The reference's calls of each process, in the view given: the program's,
// then its child's (without the child's own half of fork, which a view may
// show or not), and the exits where the format shows them.
std::vector<std::vector<Call>> references(
    const Situation &situation, Format view, const Decoding &decoding,
    const std::vector<std::string> &variants) {
  std::vector<std::vector<Call>> want;
  for (const char *suffix : {".", ".child."}) {
    const auto text =
        reference_file(situation, suffix + format_name(view), variants);
    if (!text) continue;
    std::vector<Call> calls;
    for (Call &call : calls_of(*text, view))
      if ((decoding.exits_shown || !call.is_end()) &&
          !(!want.empty() && calls.empty() && child_half(call)))
        calls.push_back(std::move(call));
    want.push_back(std::move(calls));
  }
  return want;
}

// A report read into processes, or a Failure on why it cannot be.
std::vector<Process> read_seen(const Seen &seen, Format format) {
  std::vector<Process> processes;
  const std::string problem = read_report(seen.report, format, processes);
  if (!problem.empty()) throw Failure(problem + seen.said);
  const std::string not_read = unread(seen.report, processes, format);
  if (!not_read.empty()) throw Failure(not_read + seen.said);
  if (processes.empty()) throw Failure("the report is empty" + seen.said);
  return processes;
}

// The reference's listing of the folder afterwards, a line an entry.
std::vector<std::string> folder_listed(
    const Situation &situation, const std::vector<std::string> &variants) {
  std::vector<std::string> want_dir;
  const std::string listed =
      reference_file(situation, ".dir", variants).value_or("");
  for (std::size_t start = 0; start < listed.size();) {
    std::size_t end = listed.find('\n', start);
    if (end == std::string::npos) end = listed.size();
    want_dir.push_back(listed.substr(start, end - start));
    start = end + 1;
  }
  return want_dir;
}

}  // namespace

// The report's format: given, or told from the start-up's report, or where
// that is empty (a library-call view may show nothing there), or the
// format shows system calls or library calls as its report does (JSON
// lines), from the situation's own run, kept in SEEN.
Format Observer::format_for(const Situation &situation,
                            const std::string &program,
                            std::optional<Seen> &seen) {
  std::optional<Format> found = format_;
  if (!found) found = startup(situation).format;
  if (!found || *found == Format::kJson)
    seen = run(command_for(program), program, situation.arguments(), situation,
               timeout_, percent_);
  return found ? *found : format_of(seen->report);
}

Observer::Verdict Observer::check(const Situation &given) {
  if (!unavailable_.empty()) return {Word::kSkipped, {unavailable_}};
  const std::string program = program_path(given.program);
  const std::vector<std::string> variants = variants_of(program);
  const AbiScope abi(abi_of(program));
  Situation situation;
  std::optional<Seen> seen;
  Format format = Format::kStrace;
  try {
    situation = counting_own(given);
    const std::string cannot = cannot_run(situation);
    if (!cannot.empty()) return {Word::kSkipped, {cannot}};
    format = format_for(situation, program, seen);
  } catch (const Failure &failure) {
    return failed(failure);
  }
  const Decoding decoding =
      seen ? decoding_of(format, seen->report) : decoding_of(format);
  // A system-call view is held against the .strace references, a
  // library-call view against the .ltrace ones.
  const Format view = decoding.system_calls ? Format::kStrace : Format::kLtrace;
  const std::string kind = format_name(view);
  std::vector<std::vector<Call>> want =
      references(situation, view, decoding, variants);
  if (want.empty())
    return {Word::kFailed, {"there is no " + kind + " reference for it"}};
  if (std::all_of(want.begin(), want.end(),
                  [](const std::vector<Call> &calls) { return calls.empty(); }))
    return {Word::kSkipped,
            {"its " + kind + " reference holds nothing but the exit, which " +
             format_name(format) + " does not show"}};
  if (want.size() > 1 && built_in() && !known_to(kForks))
    return {Word::kSkipped,
            {label_ + " as built in follows no process that the program "
                      "starts"}};
  if (!decoding.system_calls && want[0].size() > 1 && plt_free(program))
    return {Word::kSkipped,
            {"the program is built without the PLT, where library calls cannot "
             "be seen"}};
  Startup empty;
  std::vector<Process> processes;
  try {
    empty = startup(situation);
    if (!seen)
      seen = run(command_for(program), program, situation.arguments(),
                 situation, timeout_, percent_);
    kept(situation.name, *seen);
    processes = read_seen(*seen, format);
  } catch (const Failure &failure) {
    return failed(failure);
  }
  return judged(situation, variants, *seen, format, decoding, std::move(want),
                empty, std::move(processes));
}

// The report's calls, output and folder held against the reference's,
// under the rules this observer is held to.
Observer::Verdict Observer::judged(const Situation &situation,
                                   const std::vector<std::string> &variants,
                                   const Seen &seen, Format format,
                                   const Decoding &decoding,
                                   std::vector<std::vector<Call>> want,
                                   const Startup &startup,
                                   std::vector<Process> processes) {
  Expected expected;
  // Each process ends as the empty program does: the C runtime's calls
  // after main come before the kernel ends it, after the C library's exit.
  for (std::vector<Call> &calls : want) {
    auto end = std::find_if(calls.begin(), calls.end(), ends_process);
    if (end != calls.end() && end->ended.how == Ended::How::kKilled) continue;
    if (end != calls.end() && end->is_call && runs_at_exit(end->name)) ++end;
    calls.insert(end, startup.at_exit.begin(), startup.at_exit.end());
  }
  want[0].insert(want[0].begin(), startup.calls.begin(), startup.calls.end());
  expected.calls = std::move(want);
  expected.startup = startup.calls.size();
  expected.out = reference_file(situation, ".out", variants).value_or("");
  expected.status = situation.status;
  expected.abi = abi_of(program_path(situation.program));
  if (seen.has_after) expected.folder = folder_listed(situation, variants);
  Observed observed;
  observed.processes = std::move(processes);
  observed.format = format;
  observed.decoding = decoding;
  observed.report = seen.report;
  observed.status = seen.status;
  observed.out = seen.out;
  observed.err = seen.err;
  observed.said = seen.said;
  observed.observer = seen.observer;
  observed.cwd = seen.cwd;
  if (seen.has_after) observed.folder = seen.after;
  Rules rules;
  rules.complete = complete_;
  rules.own_status = known_to(kOwnStatus);
  rules.quiet = known_to(kQuiet);
  rules.built_in = built_in();
  rules.only = only_;
  return judge(std::move(expected), std::move(observed), rules);
}

}  // namespace probes
