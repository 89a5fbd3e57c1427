// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// Each run gets a folder of its own in the checked temporary folder, mode
// 0711 and root's when the checker runs as root: nobody else can list it,
// write in it or swap what is in it. The report's folder belongs to the user
// the observer runs as, mode 0700, and the report is opened without following
// links and must belong to that user. The privileges that a situation needs
// are taken by system calls in the child, just before it starts the observer.
// A run goes in steps: its work area, its user, its streams, the start, the
// wait, and what it left.
#include "run/run.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "read/report.h"

namespace probes {
namespace {

constexpr time_t kOldTime =
    1000000000;  // mtime given to what a situation puts there
constexpr std::size_t kMaxErr = 4096;
constexpr int kDescriptor = 1000;  // the situation fd1000's

// The steps in the child whose failure it reports before the observer starts.
enum Step : unsigned char { kFolder = 1, kMount, kUser, kLimit, kFd, kExec };

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  Fd(Fd &&other) noexcept : fd(other.fd) {
    other.fd = -1;
  }
  ~Fd() {
    reset();
  }
  void reset(int f = -1) {
    if (fd >= 0) close(fd);
    fd = f;
  }
};

// A failure of a step of the checker's: its own when the errno says that it
// ran short, else the run's.
[[noreturn]] void fail(const std::string &what, int error) {
  const std::string line = what + ": " + error_text(error);
  if (own_errno(error)) throw OwnFailure(line);
  throw Failure(line);
}

std::string signal_name(int number) {
  static const std::pair<int, const char *> kNames[] = {
      {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},
      {SIGILL, "SIGILL"},   {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"},
      {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},   {SIGKILL, "SIGKILL"},
      {SIGUSR1, "SIGUSR1"}, {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"},
      {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"},
      {SIGSYS, "SIGSYS"}};
  for (const auto &[value, name] : kNames)
    if (value == number) return name;
  return "signal " + std::to_string(number);
}

std::string env_path() {
  const char *path = std::getenv("PATH");
  return path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
}

// A folder's entries but . and .., read by its descriptor, which stays
// open: from its start each time, and with no descriptor of its own, which
// a checker short of them would not get.
std::vector<std::string> entries(int fd) {
  std::vector<std::string> names;
  if (lseek(fd, 0, SEEK_SET) != 0) return names;
  alignas(8) char buffer[16384];
  long n;
  while ((n = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0) {
    for (long at = 0; at < n;) {
      // d_ino (8), d_off (8), d_reclen (2), d_type (1), then the name
      unsigned short length;
      std::memcpy(&length, buffer + at + 16, sizeof length);
      const char *name = buffer + at + 19;
      if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
        names.emplace_back(name);
      at += length;
    }
  }
  return names;
}

// A folder opened without following a link. Short of descriptors (the
// reason the check stops, say), it waits for the other runs to let theirs go.
int open_folder(int parent, const char *name) {
  int fd = -1;
  for (int tries = 0; tries < 1000; ++tries) {
    fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || (errno != EMFILE && errno != ENFILE)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return fd;
}

// How deep removal goes with a descriptor a level; what lies deeper is moved
// up into the top folder and removed from there.
constexpr int kRemovalDepth = 32;

// Empties the folder FD: files unlinked, folders emptied and removed, those
// kRemovalDepth down moved into TOP instead. True if anything was removed
// or moved.
bool empty_folder(int top, int fd, int depth, unsigned &moved) {
  bool changed = false;
  for (const std::string &entry : entries(fd)) {
    struct stat info;
    const bool folder =
        fstatat(fd, entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(info.st_mode);
    if (!folder) {
      changed |= unlinkat(fd, entry.c_str(), 0) == 0;
      continue;
    }
    if (depth >= kRemovalDepth) {
      int renamed = -1;
      for (int tries = 0; tries < 100 && renamed != 0; ++tries) {
        const std::string as = "deeper-" + std::to_string(moved++);
        renamed = static_cast<int>(syscall(SYS_renameat2, fd, entry.c_str(),
                                           top, as.c_str(), RENAME_NOREPLACE));
        if (renamed != 0 && errno != EEXIST) break;
      }
      changed |= renamed == 0;
      continue;
    }
    const int inner = open_folder(fd, entry.c_str());
    if (inner >= 0) {
      changed |= empty_folder(top, inner, depth + 1, moved);
      close(inner);
    }
    changed |= unlinkat(fd, entry.c_str(), AT_REMOVEDIR) == 0;
  }
  return changed;
}

// Removes a folder and what it holds, of any depth, by descriptors, without
// following a link: nothing renamed meanwhile leads elsewhere, and no more
// than kRemovalDepth descriptors are held at once.
void remove_tree(int parent, const char *name) {
  const int fd = open_folder(parent, name);
  if (fd < 0) {
    unlinkat(parent, name, 0);
    return;
  }
  unsigned moved = 0;
  while (empty_folder(fd, fd, 1, moved) && !entries(fd).empty()) {
  }
  close(fd);
  unlinkat(parent, name, AT_REMOVEDIR);
}

// A folder made and set by its descriptor, never by its path again.
Fd make_folder(int at, const char *name, mode_t mode) {
  if (mkdirat(at, name, mode) != 0)
    fail(std::string("cannot make the folder ") + name, errno);
  Fd folder(openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.fd < 0 || fchmod(folder.fd, mode) != 0)
    fail(std::string("cannot set up the folder ") + name, errno);
  return folder;
}

std::atomic<int> folders{0};  // runs' folders made and not yet removed

// Step 1, the work area: the run's own folder, removed with all in it when
// the run is over, in the checked temporary folder.
struct Work {
  std::string name;
  std::string path;
  Fd fd;
  Work() {
    const Temporary &tmp = temporary();
    check_room(tmp.fd);
    for (int attempt = 0; attempt < 16 && fd.fd < 0; ++attempt) {
      unsigned char random[6];
      if (getrandom(random, sizeof random, 0) != sizeof random)
        fail("no random name for the run's folder", errno);
      char text[32];
      std::snprintf(text, sizeof text,
                    "syscall-probes-%02x%02x%02x%02x%02x%02x", random[0],
                    random[1], random[2], random[3], random[4], random[5]);
      if (mkdirat(tmp.fd, text, 0700) != 0) {
        if (errno == EEXIST) continue;
        throw OwnFailure("cannot make a folder for the run in " + tmp.path +
                         ": " + error_text(errno));
      }
      name = text;
      path = tmp.path + "/" + name;
      fd.reset(openat(tmp.fd, text,
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (fd.fd < 0 || fchmod(fd.fd, 0711) != 0) {
        const int error = errno;
        fd.reset();
        unlinkat(tmp.fd, text, AT_REMOVEDIR);  // empty yet: no descriptor
        throw OwnFailure("cannot set up the run's folder in " + tmp.path +
                         ": " + error_text(error));
      }
    }
    if (fd.fd < 0) throw OwnFailure("no free name for the run's folder");
    ++folders;
  }
  Work(const Work &) = delete;
  Work &operator=(const Work &) = delete;
  ~Work() {
    if (name.empty()) return;
    remove_tree(temporary().fd, name.c_str());
    --folders;
  }
};

// A file written whole, by descriptor, in a folder of the run's.
void write_file(int at, const char *name, const std::string &data,
                mode_t mode) {
  const Fd fd(openat(
      at, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (fd.fd < 0) fail(std::string("cannot write ") + name, errno);
  if (!write_all(fd.fd, data))
    throw OwnFailure(std::string("cannot write ") + name + ": " +
                     error_text(errno));
  if (fchmod(fd.fd, mode) != 0)
    fail(std::string("cannot write ") + name, errno);
}

// What the situation finds there before it runs: my_file as a file, a folder
// or a dangling link, made long ago.
void prepare(int cwd, const std::string &what) {
  if (what == "file")
    write_file(cwd, "my_file", "precious\n", 0600);
  else if (what == "dir")
    make_folder(cwd, "my_file", 0755);
  else if (what == "link" && symlinkat("target", cwd, "my_file") != 0)
    fail("cannot make my_file", errno);
  const timespec times[2] = {{kOldTime, 0}, {kOldTime, 0}};
  utimensat(cwd, "my_file", times, AT_SYMLINK_NOFOLLOW);
}

// The folder as a reference's .dir file shows it: one entry a line.
std::vector<std::string> listing(int folder) {
  std::vector<std::string> lines;
  const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!dir) {
    if (fd >= 0) close(fd);
    fail("cannot read the run's folder", errno);
  }
  std::vector<std::string> names;
  while (const dirent *entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 &&
        std::strcmp(entry->d_name, "..") != 0)
      names.emplace_back(entry->d_name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    struct stat info;
    if (fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const char *age = info.st_mtime == kOldTime ? "old" : "new";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o",
                  static_cast<unsigned>(info.st_mode & 07777));
    if (S_ISLNK(info.st_mode)) {
      char target[PATH_MAX];
      const ssize_t n = readlinkat(fd, name.c_str(), target, sizeof target);
      lines.push_back(name + " link -> " +
                      std::string(target, static_cast<std::size_t>(
                                              std::max<ssize_t>(n, 0))) +
                      " " + age);
    } else if (S_ISDIR(info.st_mode)) {
      lines.push_back(name + " dir " + mode + " " + age);
    } else {
      std::string content;
      const Fd file(openat(fd, name.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      char buffer[256];
      const ssize_t n = file.fd >= 0 ? read(file.fd, buffer, sizeof buffer) : 0;
      if (n > 0) content.assign(buffer, static_cast<std::size_t>(n));
      lines.push_back(name + " file " + mode + " " + age + " " +
                      quote(content));
    }
  }
  closedir(dir);
  return lines;
}

std::string text_of(int fd, std::size_t limit) {
  std::string data;
  char buffer[65536];
  off_t offset = 0;
  ssize_t n;
  while (data.size() < limit &&
         (n = pread(fd, buffer, sizeof buffer, offset)) > 0) {
    data.append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
  if (data.size() > limit) data.resize(limit);
  return data;
}

// Kills what is left of the observer's process group and reaps it: this
// process is its reaper, so whatever the observer left behind comes here.
void end_group(pid_t group) {
  kill(-group, SIGKILL);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (kill(-group, 0) == 0 && std::chrono::steady_clock::now() < until) {
    int status;
    if (waitpid(-group, &status, WNOHANG) <= 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  run_ended(group);
}

// A report file in the report's folder: a regular file of the observer's
// user, opened without following a link, refused by its size alone.
std::string report_file(int folder, const std::string &name, uid_t uid) {
  const Fd file(openat(folder, name.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.fd < 0 && errno == ELOOP)
    throw Failure("the report is a symbolic link, which is not followed");
  if (file.fd < 0 && own_errno(errno))
    throw OwnFailure("cannot open the report: " + error_text(errno));
  if (file.fd < 0)
    throw Failure("the observer wrote no report (" + error_text(errno) + ")");
  struct stat info;
  if (fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode))
    throw Failure("the report is not a regular file");
  if (info.st_uid != uid)
    throw Failure("the report belongs to user " + std::to_string(info.st_uid) +
                  ", not to the observer's");
  if (static_cast<std::size_t>(info.st_size) > kMaxReport)
    throw Failure("the report holds " + std::to_string(info.st_size) +
                  " bytes, more than the " + std::to_string(kMaxReport) +
                  " that these programs can give rise to");
  std::string text = text_of(file.fd, kMaxReport + 1);
  if (text.size() > kMaxReport)
    throw Failure("the report grew past " + std::to_string(kMaxReport) +
                  " bytes");
  return text;
}

// strace -ff's files, report.PID, in the order of their process ids.
std::vector<std::pair<long, std::string>> per_process(int folder) {
  std::vector<std::pair<long, std::string>> parts;
  const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!dir) {
    if (fd >= 0) close(fd);
    return parts;
  }
  while (const dirent *entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind("report.", 0) == 0 && name.size() > 7 && name.size() < 17 &&
        name.find_first_not_of("0123456789", 7) == std::string::npos)
      parts.emplace_back(std::stol(name.substr(7)), name);
  }
  closedir(dir);
  std::sort(parts.begin(), parts.end());
  return parts;
}

// What the observer said last on standard error (or wrote last in WHOSE),
// up to three lines, each cut: " and its standard error ends: ...", or "".
std::string tail_of(const std::string &last,
                    const char *whose = "its standard error") {
  constexpr std::size_t kEnd = 4096;  // three lines of 200 and more
  std::string text =
      last.size() > kEnd ? last.substr(last.size() - kEnd) : last;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  std::vector<std::string> lines;
  for (std::size_t end = text.size(); end > 0 && lines.size() < 3;) {
    const std::size_t start = text.rfind('\n', end - 1);
    const std::size_t begin = start == std::string::npos ? 0 : start + 1;
    if (end > begin)
      lines.insert(lines.begin(), text.substr(begin, end - begin));
    if (start == std::string::npos) break;
    end = start;
  }
  std::string said;
  for (const std::string &line : lines)
    said += (said.empty() ? "" : " / ") +
            quote(line.size() > 200 ? line.substr(0, 200) : line);
  return said.empty() ? "" : std::string(" and ") + whose + " ends: " + said;
}

// The first folder on PATH's way, or PATH itself, that the user UID of group
// GID cannot pass through or run, with its mode; "" if there is none.
std::string unreachable(const std::string &path, uid_t uid, gid_t gid) {
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string step = path.substr(0, end);
    struct stat info;
    if (stat(step.c_str(), &info) != 0) return "";
    const mode_t may = info.st_uid == uid   ? S_IXUSR
                       : info.st_gid == gid ? S_IXGRP
                                            : S_IXOTH;
    if (!(info.st_mode & may)) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o",
                    static_cast<unsigned>(info.st_mode & 07777));
      return step + " (mode " + mode + ")";
    }
    if (end == std::string::npos) return "";
  }
}

// The skip of a run as user UID, which cannot reach WHAT because the folder
// STOP is closed to it, with what to do about it.
Failure unreachable_skip(uid_t uid, const std::string &what,
                         const std::string &stop, const std::string &advice) {
  return skip("user " + std::to_string(uid) +
              ", whom it runs as, cannot reach " + what + ": " + stop +
              " is closed to it; " + advice);
}

// A file that the observer's command names by its whole path (the
// observer, or LD_PRELOAD=/path/lib.so) in a folder that USER, whom another
// user's run runs as, cannot pass through: the run would fail for that, not
// for the observer, so it skips, naming the folder.
void names_reachable(const std::vector<std::string> &command, uid_t uid,
                     gid_t gid) {
  for (const std::string &word : command) {
    for (std::size_t at = word.find('/'); at != std::string::npos;
         at = word.find('/', at + 1)) {
      if (at > 0 && word[at - 1] != '=' && word[at - 1] != ':') continue;
      const std::string path = word.substr(at, word.find(':', at) - at);
      const std::size_t slash = path.rfind('/');
      struct stat info;
      if (slash == 0 || stat(path.c_str(), &info) != 0) continue;
      const std::string stop = unreachable(path.substr(0, slash), uid, gid);
      if (!stop.empty())
        throw unreachable_skip(uid,
                               path + ", which the observer's command names",
                               stop, "put it where every user can reach it");
    }
  }
}

// Step 2, the user the observer runs as, and so the owner of its report's
// folder; another user runs a copy of the program that it can reach.
struct User {
  uid_t uid = geteuid();
  gid_t gid = getegid();
  std::string program;
};

void take_user(User &user, const Situation &conditions, const Work &work,
               const std::string &program) {
  user.program = program;
  if (!conditions.other_user()) return;
  if (geteuid() != 0) throw skip("needs root, to run as another user");
  if (conditions.has("user")) {
    passwd entry;
    passwd *found = nullptr;
    char buffer[4096];
    if (getpwnam_r(conditions.get("user").c_str(), &entry, buffer,
                   sizeof buffer, &found) != 0 ||
        !found)
      throw skip("there is no user " + conditions.get("user") + " here");
    user.uid = found->pw_uid;
    user.gid = found->pw_gid;
  } else {
    // Runs under a limit share this id: each limit is its control group's.
    user.uid = own_uid();
    user.gid = user.uid;
  }
  const std::string stop = unreachable(work.path, user.uid, user.gid);
  if (!stop.empty())
    throw unreachable_skip(user.uid, "the run's folder", stop,
                           "set TMPDIR to a folder that every user may pass "
                           "through");
  const std::string name = program.substr(program.rfind('/') + 1);
  const auto bytes = read_file(program, 64 << 20);
  if (!bytes) throw OwnFailure("cannot read " + program);
  const auto held = no_fork();
  write_file(work.fd.fd, name.c_str(), *bytes, 0755);
  user.program = work.path + "/" + name;
}

// An observer's standard error as it comes through a pipe: its first bytes,
// as many as may be its report, and its last, for why it failed; what lies
// between is read and let go, however much it writes.
struct Said {
  std::size_t keep = kMaxErr;  // of the first bytes
  std::string first, last;
  void add(const char *bytes, std::size_t n) {
    if (first.size() < keep)
      first.append(bytes, std::min(n, keep - first.size()));
    last.append(bytes, n);
    if (last.size() > 2 * kMaxErr) last.erase(0, last.size() - kMaxErr);
  }
  std::string tail() const {
    return last.size() > kMaxErr ? last.substr(last.size() - kMaxErr) : last;
  }
};

// Step 3, the standard streams: output to a file of the run's, a pipe, a
// terminal, or closed; errors to a pipe; input from /dev/null.
struct Streams {
  std::string where;
  Fd reader, out, err_reader, err, null;
  Said said;
};

// Why the observer ran short under the limits that the check was started
// with, not the situation's, as its standard error says: the caller's, and
// so the checker's own trouble. "" when it did not.
std::string caller_limits(const Said &said, const Situation &conditions) {
  const auto says = [&said](const char *words) {
    return said.first.find(words) != std::string::npos ||
           said.last.find(words) != std::string::npos;
  };
  if (!conditions.has("nproc") && says("Resource temporarily unavailable") &&
      !process_limit().empty())
    return "the observer could not start a process" + process_limit();
  // Short of memory, or of address space to lay a guest's out in (qemu's
  // "Unable to find a guest_base to satisfy all guest address mapping
  // requirements").
  rlimit memory;
  if ((says("Cannot allocate memory") || says("out of memory") ||
       says("guest address mapping")) &&
      getrlimit(RLIMIT_AS, &memory) == 0 && memory.rlim_cur != RLIM_INFINITY)
    return "the observer ran out of memory: the check runs under a limit of " +
           std::to_string(memory.rlim_cur >> 10) +
           " KiB of address space (ulimit -v)";
  return "";
}

void make_streams(Streams &streams, const Situation &conditions,
                  const Work &work) {
  streams.where = conditions.get("stdout", "file");
  streams.null.reset(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (streams.where == "file") {
    streams.out.reset(openat(work.fd.fd, "stdout",
                             O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  } else if (streams.where == "pipe") {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) == 0)
      streams.reader.reset(ends[0]), streams.out.reset(ends[1]);
  } else if (streams.where == "pty") {
    streams.reader.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[128];
    if (streams.reader.fd >= 0 && grantpt(streams.reader.fd) == 0 &&
        unlockpt(streams.reader.fd) == 0 &&
        ptsname_r(streams.reader.fd, name, sizeof name) == 0)
      streams.out.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) == 0) {
    streams.err_reader.reset(ends[0]), streams.err.reset(ends[1]);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    fcntl(ends[0], F_SETPIPE_SZ, 1 << 20);  // as far as the system lets
  }
  if ((streams.where != "closed" && streams.out.fd < 0) || streams.err.fd < 0 ||
      streams.null.fd < 0)
    throw OwnFailure("cannot set up the run's standard streams: " +
                     error_text(errno));
}

// The observer's command line: {report} stands for the report's path,
// put in once, without looking again at what was put in.
std::vector<std::string> command_line(const std::vector<std::string> &command,
                                      const std::string &report,
                                      const std::string &program,
                                      const std::vector<std::string> &args) {
  std::vector<std::string> words;
  for (const std::string &word : command) {
    std::string replaced;
    for (std::size_t at = 0; at < word.size();) {
      if (word.compare(at, 8, "{report}") == 0) {
        replaced += report;
        at += 8;
      } else {
        replaced += word[at++];
      }
    }
    words.push_back(std::move(replaced));
  }
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

// Closes every descriptor from 3 up but those kept, without allocating.
void close_others(int keep_a, int keep_b) {
  const int keep[2] = {std::min(keep_a, keep_b), std::max(keep_a, keep_b)};
  unsigned from = 3;
  for (const int fd : keep) {
    if (fd < static_cast<int>(from)) continue;
    if (static_cast<unsigned>(fd) > from)
      syscall(SYS_close_range, from, static_cast<unsigned>(fd) - 1, 0);
    from = static_cast<unsigned>(fd) + 1;
  }
  if (syscall(SYS_close_range, from, ~0U, 0) != 0) {  // before Linux 5.9
    const long most = sysconf(_SC_OPEN_MAX);
    for (long fd = from; fd < (most > 0 ? most : 65536); ++fd)
      if (fd != keep_a && fd != keep_b) close(static_cast<int>(fd));
  }
}

// What the child needs, made before it is started: it allocates nothing.
struct Start {
  std::vector<std::string> words;
  std::string path;  // the observer's executable
  std::string cwd;
  bool own_folder = true;
  int cwd_fd = -1;
  std::string home;  // the observer's HOME and TMPDIR: a folder of its own
  int cage = -1;     // the procs of the control group that holds its limit
};

// What the child is given, ready before the fork: it allocates nothing.
struct Child {
  char **argv;
  char **envp;
  int status_fd;  // where a step that fails says which and why
  mode_t mask;
  bool fd1000, rofs, other, closed;
  rlimit raised, unlimited, own_files;
};

// The child of step 4: only system calls from here on.
[[noreturn]] void become_observer(const Start &what, const Streams &streams,
                                  const User &user, const Child &child) {
  int step = kFolder;
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  setsid();
  // The limit on descriptors that the checker was started with.
  setrlimit(RLIMIT_NOFILE, &child.own_files);
  bool ok = what.cage < 0 || (step = kLimit, write(what.cage, "0", 1) == 1);
  if (ok) step = kFolder;
  // The folder by its descriptor; but a mount on it, below, by its path.
  ok = ok && (child.rofs || fchdir(what.cwd_fd) == 0);
  if (ok) {
    if (child.closed) close(1);
    ok = dup2(streams.null.fd, 0) == 0 &&
         (child.closed || dup2(streams.out.fd, 1) == 1) &&
         dup2(streams.err.fd, 2) == 2;
  }
  if (ok && child.fd1000)
    step = kFd, ok = dup2(streams.null.fd, kDescriptor) == kDescriptor;
  if (ok) {
    close_others(child.status_fd, child.fd1000 ? kDescriptor : -1);
    umask(child.mask);
  }
  if (ok && child.rofs) {
    step = kMount;
    ok = unshare(CLONE_NEWNS) == 0 &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("none", what.cwd.c_str(), "tmpfs", MS_RDONLY, nullptr) == 0;
    if (ok) step = kFolder, ok = chdir(what.cwd.c_str()) == 0;
  }
  if (ok && setrlimit(RLIMIT_NPROC, &child.unlimited) != 0)
    setrlimit(RLIMIT_NPROC, &child.raised);
  if (ok && child.other) {
    step = kUser;
    ok = setgroups(0, nullptr) == 0 &&
         setresgid(user.gid, user.gid, user.gid) == 0 &&
         setresuid(user.uid, user.uid, user.uid) == 0;
  }
  if (ok) step = kExec, execve(what.path.c_str(), child.argv, child.envp);
  const int said[2] = {step, errno};
  (void)!write(child.status_fd, said, sizeof said);
  _exit(127);
}

// A step of the child that failed, as the check says it: a condition that
// cannot be had skips; an observer that cannot be started fails.
[[noreturn]] void child_failed(int step, int error, const Start &what,
                               const User &user, bool other, rlim_t files) {
  const std::string why = error_text(error);
  switch (step) {
    case kMount:
      throw skip("a read-only mount is refused here: " + why);
    case kUser:
      throw skip("running as another user is refused here: " + why);
    case kLimit:
      throw skip("a process limit is refused here: " + why);
    case kFd:
      throw skip(
          "descriptor 1000 cannot be opened here, under a "
          "limit of " +
          std::to_string(files) + " open files: " + why);
    case kFolder:
      throw Failure("the observer cannot be started in " + what.cwd + ": " +
                    why);
    default:
      if (own_errno(error))
        throw OwnFailure("cannot start the observer: " + why);
      if (other && error == EACCES && what.path[0] == '/') {
        const std::string stop = unreachable(what.path, user.uid, user.gid);
        if (!stop.empty())
          throw unreachable_skip(user.uid, "the observer", stop,
                                 "put the observer where every user can "
                                 "reach it");
      }
      throw Failure("the observer cannot be started: " + why);
  }
}

// Step 4: the observer started in the situation's conditions. A step of the
// child that fails says which and why on a pipe that closes at the exec.
pid_t start_observer(const Start &what, const Streams &streams,
                     const User &user, const Situation &conditions) {
  std::vector<std::string> words = what.words;
  std::vector<char *> argv;
  // cppcheck-suppress constVariableReference
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // What an observer keeps for itself (valgrind's vgdb pipes, a tracer's
  // temporary files) goes in its own folder of the run's, never in a folder
  // that another user can plant a link in.
  std::string env_words[] = {"PATH=" + env_path(), "LC_ALL=C",
                             "HOME=" + what.home, "TMPDIR=" + what.home};
  // cppcheck-suppress variableScope
  char *envp[] = {env_words[0].data(), env_words[1].data(), env_words[2].data(),
                  env_words[3].data(), nullptr};
  int status_pipe[2];
  if (pipe2(status_pipe, O_CLOEXEC) != 0)
    throw OwnFailure("no pipe for the run: " + error_text(errno));
  Fd status_read(status_pipe[0]), status_write(status_pipe[1]);
  Child child{argv.data(),
              envp,
              status_write.fd,
              static_cast<mode_t>(std::strtol(
                  conditions.get("umask", "022").c_str(), nullptr, 8)),
              conditions.has("fd1000"),
              conditions.has("rofs"),
              conditions.other_user(),
              streams.where == "closed",
              {},
              {RLIM_INFINITY, RLIM_INFINITY},
              {}};
  // The situation's limit on processes is its control group's (what.cage);
  // the user's own limit is lifted, or, where only root could lift the
  // caller's, raised to the most it allows.
  getrlimit(RLIMIT_NPROC, &child.raised);
  child.raised.rlim_cur = child.raised.rlim_max;
  rlimit hard_files;
  getrlimit(RLIMIT_NOFILE, &hard_files);
  child.own_files = {started_descriptor_limit(), hard_files.rlim_max};

  const pid_t pid = fork_run();
  const int error = errno;
  if (pid < 0)
    throw OwnFailure("cannot start the observer: " + error_text(error) +
                     (error == EAGAIN ? process_limit() : ""));
  if (pid == 0) become_observer(what, streams, user, child);
  status_write.reset();
  int said[2] = {0, 0};
  ssize_t got;
  while ((got = read(status_read.fd, said, sizeof said)) < 0 &&
         errno == EINTR) {
  }
  if (got != static_cast<ssize_t>(sizeof said)) return pid;
  waitpid(pid, nullptr, 0);
  run_ended(pid);
  child_failed(said[0], said[1], what, user, child.other,
               child.own_files.rlim_cur);
}

// Reads what has come on the run's output and error pipes, waiting up to
// WAIT_MS or until PIDFD (where there is one) says the observer has ended;
// a pipe that has ended is closed.
void pump(Streams &streams, std::string &out, int pidfd, int wait_ms) {
  // The error pipe is large and read only now and then, not at each write:
  // waking the checker at every piece that qemu or valgrind write would
  // change how their processes' pieces interleave.
  if (streams.err_reader.fd >= 0) wait_ms = std::min(wait_ms, 20);
  pollfd waits[2] = {{streams.reader.fd, POLLIN, 0}, {pidfd, POLLIN, 0}};
  poll(waits, 2, wait_ms);
  char buffer[65536];
  for (int i = 0; i < 2; ++i) {
    Fd &reader = i == 0 ? streams.reader : streams.err_reader;
    if (reader.fd < 0 || (i == 0 && !waits[0].revents)) continue;
    ssize_t n;
    do {
      n = read(reader.fd, buffer, sizeof buffer);
      const auto got = static_cast<std::size_t>(std::max<ssize_t>(n, 0));
      if (i == 0 && out.size() < kMaxReport) out.append(buffer, got);
      if (i == 1) streams.said.add(buffer, got);
    } while (i == 1 && n > 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) reader.reset();
  }
}

// Step 5: waits for the observer, reading its output and errors meanwhile,
// until the timeout; then ends whatever the run left. True if it finished
// in time.
bool wait_for(pid_t pid, Streams &streams, double timeout, int &status,
              std::string &out) {
  const Fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  bool finished = false;
  while (!finished) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pump(streams, out, pidfd.fd,
         static_cast<int>(std::min<long long>(left, pidfd.fd >= 0 ? left : 5)));
    finished = waitpid(pid, &status, WNOHANG) == pid;
  }
  // An observer that runs the program in its own process (qemu-user,
  // valgrind) leaves a forked child to finish on its own: a moment is given
  // to what is left before it is killed, its output read meanwhile.
  const auto grace = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  const auto settled_by = grace < deadline ? grace : deadline;
  while (finished && kill(-pid, 0) == 0 &&
         std::chrono::steady_clock::now() < settled_by) {
    int left;
    if (waitpid(-pid, &left, WNOHANG) <= 0) pump(streams, out, -1, 1);
  }
  end_group(pid);
  if (!finished) {
    waitpid(pid, &status, 0);
    return false;
  }
  const auto drained_by =
      std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while ((streams.reader.fd >= 0 || streams.err_reader.fd >= 0) &&
         std::chrono::steady_clock::now() < drained_by)
    pump(streams, out, -1, 100);
  return true;
}

// Step 6: what the run left: the report, a regular file of the observer's
// user read by its size; or, from strace -ff, one such file per process,
// report.PID, each line with its process's id put in front.
std::string collect_report(int work, uid_t uid) {
  const Fd folder(
      openat(work, "report", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.fd < 0) fail("cannot open the report's folder", errno);
  std::vector<std::pair<long, std::string>> parts = {{-1, "report"}};
  if (faccessat(folder.fd, "report", F_OK, AT_SYMLINK_NOFOLLOW) != 0) {
    parts = per_process(folder.fd);
    if (parts.empty()) parts = {{-1, "report"}};
  }
  std::string report;
  for (const auto &[process, name] : parts) {
    std::string text = report_file(folder.fd, name, uid);
    if (process >= 0) {
      std::string prefixed;
      for (std::size_t from = 0; from < text.size();) {
        std::size_t end = text.find('\n', from);
        end = end == std::string::npos ? text.size() : end + 1;
        prefixed +=
            std::to_string(process) + " " + text.substr(from, end - from);
        from = end;
      }
      text = std::move(prefixed);
    }
    report += text;
    if (report.size() > kMaxReport)
      throw Failure("the report holds more than the " +
                    std::to_string(kMaxReport) +
                    " bytes that these programs can give rise to");
  }
  return report;
}

// The report's path as the observer is to be given it.
std::string report_path(const Work &work, const Start &what, Percent percent) {
  std::string path = work.path + "/report/report";
  if (path.find('%') == std::string::npos || percent == Percent::kAsIs)
    return path;
  if (percent == Percent::kDoubled) {
    std::string doubled;
    for (const char c : path) doubled += c == '%' ? "%%" : std::string(1, c);
    return doubled;
  }
  if (what.own_folder) return "../report/report";  // from the run's cwd
  throw skip("the observer cannot write its report in " + work.path +
             ", whose path holds a %; set TMPDIR to one without");
}

}  // namespace

std::string kernel_refusal(const std::string &program) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return "";
  for (const int fd : {0, 1, 2})
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  char *const argv[] = {const_cast<char *>(program.c_str()), nullptr};
  char *const envp[] = {nullptr};
  pid_t pid = -1;
  const int error =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  if (error == 0) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return "";
  }
  return error == ENOEXEC ? error_text(error) : "";  // else not the kernel's
}

bool runs_underway() {
  return folders > 0;
}

void become_reaper() {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
}

std::string find_command(const std::string &name) {
  if (name.find('/') != std::string::npos)
    return access(name.c_str(), X_OK) == 0 ? name : "";
  const std::string path = env_path();
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string candidate =
        (end > start ? path.substr(start, end - start) : ".") + "/" + name;
    struct stat info;
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return "";
}

namespace {
Seen ended(Seen seen, int status, const Work &work, const Start &what,
           Streams &streams, const Situation &conditions, int cwd_fd, long uid);
}  // namespace

Seen run(const std::vector<std::string> &command, const std::string &program,
         const std::vector<std::string> &args, const Situation &conditions,
         double timeout, Percent percent) {
  if (interrupted()) throw Failure("interrupted");
  Work work;
  Start what;
  what.own_folder = conditions.get("cwd") != "source";
  const Fd cwd_folder = make_folder(work.fd.fd, "cwd", 0755);
  Fd source_folder;
  what.cwd = work.path + "/cwd";
  what.cwd_fd = cwd_folder.fd;
  if (!what.own_folder) {
    char real[PATH_MAX];
    if (!realpath(places().sources.c_str(), real))
      throw OwnFailure("no folder " + places().sources);
    what.cwd = real;
    source_folder.reset(open(real, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (source_folder.fd < 0) fail("cannot open " + what.cwd, errno);
    what.cwd_fd = source_folder.fd;
  }
  User user;
  take_user(user, conditions, work, program);
  if (conditions.other_user()) names_reachable(command, user.uid, user.gid);
  if (conditions.has("pre") && what.own_folder)
    prepare(cwd_folder.fd, conditions.get("pre"));
  const Fd report_folder = make_folder(work.fd.fd, "report", 0700);
  const Fd home_folder = make_folder(work.fd.fd, "home", 0700);
  for (const int folder : {report_folder.fd, home_folder.fd})
    if (fchown(folder, user.uid, user.gid) != 0)
      throw skip("the run's folders cannot be given to user " +
                 std::to_string(user.uid) + ": " + error_text(errno));
  what.home = work.path + "/home";
  what.words = command_line(command, report_path(work, what, percent),
                            user.program, args);
  what.path = find_command(what.words[0]);
  if (what.path.empty())
    throw Failure("the observer cannot be started: " + what.words[0] +
                  " is not on the PATH");
  // A situation's limit on processes, in a control group of the run's own.
  std::optional<Cage> cage;
  if (conditions.has("nproc")) {
    cage.emplace(std::strtoul(conditions.get("nproc").c_str(), nullptr, 10));
    if (cage->procs() < 0)
      throw skip(
          "a limit on processes of its own cannot be had "
          "here: " +
          cage->refused());
    what.cage = cage->procs();
  }
  Streams streams;
  make_streams(streams, conditions, work);

  // A command line without {report}: the observer writes its report to
  // standard error, which is then all the report.
  bool to_file = false;
  for (const std::string &word : command)
    to_file |= word.find("{report}") != std::string::npos;
  if (!to_file) streams.said.keep = kMaxReport + 1;
  Seen seen;
  seen.observer = start_observer(what, streams, user, conditions);
  streams.out.reset();
  streams.err.reset();
  int status = 0;
  if (!wait_for(seen.observer, streams, timeout, status, seen.out)) {
    char limit_text[32];
    std::snprintf(limit_text, sizeof limit_text, "%g", timeout);
    throw Failure(
        std::string("the observer did not finish within ") + limit_text + " s",
        Failure::Kind::kTimedOut);
  }
  return ended(std::move(seen), status, work, what, streams, conditions,
               cwd_folder.fd, to_file ? static_cast<long>(user.uid) : -1L);
}

namespace {

// What an observer that has ended left: its output, its status and what it
// said, the folder afterwards, and its report, on standard error or in the
// file that user UID (-1: none, the report is on standard error) wrote.
Seen ended(Seen seen, int status, const Work &work, const Start &what,
           Streams &streams, const Situation &conditions, int cwd_fd,
           long uid) {
  if (interrupted()) throw Failure("interrupted");
  if (streams.where == "file") {
    const Fd out(
        openat(work.fd.fd, "stdout", O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    seen.out = text_of(out.fd, kMaxReport);
  }
  seen.err = streams.said.first.substr(0, kMaxErr);
  const std::string short_of = caller_limits(streams.said, conditions);
  if (!short_of.empty()) throw OwnFailure(short_of);
  if (WIFSIGNALED(status))
    throw Failure("the observer was killed by " +
                  signal_name(WTERMSIG(status)) + tail_of(streams.said.tail()));
  seen.status = WEXITSTATUS(status);
  char real[PATH_MAX];
  seen.cwd = realpath(what.cwd.c_str(), real) ? real : what.cwd;
  if (what.own_folder) {
    seen.has_after = true;
    seen.after = listing(cwd_fd);
  }
  seen.said = " (the observer exited with status " +
              std::to_string(seen.status) + tail_of(streams.said.tail()) + ")";
  if (uid < 0) {
    seen.report = std::move(streams.said.first);
    if (seen.report.size() > kMaxReport)
      throw Failure("the report on standard error holds more than the " +
                    std::to_string(kMaxReport) +
                    " bytes that these programs can give rise to");
    seen.said = " (the observer exited with status " +
                std::to_string(seen.status) +
                tail_of(seen.report, "its report") + ")";
    return seen;
  }
  try {
    seen.report = collect_report(work.fd.fd, static_cast<uid_t>(uid));
  } catch (const Failure &failure) {  // why, as far as the observer said
    throw Failure(failure.what() + seen.said, seen.err);
  }
  // Silent on standard error: the report's last lines may say why.
  if (streams.said.tail().find_first_not_of(" \n") == std::string::npos)
    seen.said = " (the observer exited with status " +
                std::to_string(seen.status) +
                tail_of(seen.report, "its report") + ")";
  return seen;
}

}  // namespace
}  // namespace probes
