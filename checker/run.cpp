// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// Each run gets a folder of its own under the temporary folder, mode 0711 and
// root's when the checker runs as root: nobody else can list it, write in it
// or swap what is in it. The report's folder belongs to the user the observer
// runs as, mode 0700, and the report is opened without following links and
// must belong to that user. The privileges that a situation needs are taken
// by system calls in the child, just before it starts the observer.
#include "run.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <type_traits>

#include "report.h"

namespace probes {
namespace {

constexpr time_t kOldTime =
    1000000000;  // mtime given to what a situation puts there
constexpr std::size_t kMaxErr = 4096;
constexpr uid_t kFirstOwnUid = 61000, kLastOwnUid = 65000;

// The steps in the child whose failure it reports before the observer starts.
enum Step : unsigned char { kFolder = 1, kMount, kUser, kLimit, kExec };

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd() {
    reset();
  }
  void reset(int f = -1) {
    if (fd >= 0) close(fd);
    fd = f;
  }
};

std::string error_text(int error) {
  char buffer[256];
  // The GNU strerror_r returns its text; the POSIX one fills the buffer.
  const auto result = strerror_r(error, buffer, sizeof buffer);
  if constexpr (std::is_same_v<decltype(result), int>)
    return buffer;
  else
    return result;
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

// Removes a folder and what it holds without following a link, by
// descriptors, so that nothing renamed meanwhile leads elsewhere.
void remove_tree(int parent, const char *name, int depth) {
  const int fd =
      openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    unlinkat(parent, name, 0);
    return;
  }
  DIR *dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return;
  }
  std::vector<std::string> names;
  while (const dirent *entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 &&
        std::strcmp(entry->d_name, "..") != 0)
      names.emplace_back(entry->d_name);
  }
  for (const std::string &entry : names) {
    struct stat info;
    if (depth < 16 &&
        fstatat(fd, entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(info.st_mode))
      remove_tree(fd, entry.c_str(), depth + 1);
    else
      unlinkat(fd, entry.c_str(), 0);
  }
  closedir(dir);
  unlinkat(parent, name, AT_REMOVEDIR);
}

// The run's own folder, removed with all in it when the run is over.
struct Work {
  std::string path;
  Fd fd;
  Work() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp == '/' ? tmp : "/tmp") +
                          "/syscall-probes-XXXXXX";
    if (!mkdtemp(pattern.data()))
      throw Failure("no folder for the run: " + error_text(errno) + " (" +
                    pattern + ")");
    path = pattern;
    fd.reset(
        open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.fd < 0 || fchmod(fd.fd, 0711) != 0)
      throw Failure("no folder for the run: " + error_text(errno));
  }
  Work(const Work &) = delete;
  Work &operator=(const Work &) = delete;
  ~Work() {
    const std::size_t slash = path.rfind('/');
    const Fd parent(open(path.substr(0, slash).c_str(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.fd >= 0) remove_tree(parent.fd, path.c_str() + slash + 1, 0);
  }
};

void make_folder(int at, const char *name, mode_t mode) {
  if (mkdirat(at, name, mode) != 0 || fchmodat(at, name, mode, 0) != 0)
    throw Failure(std::string("cannot make the folder ") + name + ": " +
                  error_text(errno));
}

// A file written whole, by descriptor, in a folder of the run's.
void write_file(int at, const char *name, const std::string &data,
                mode_t mode) {
  const Fd fd(openat(
      at, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (fd.fd < 0 ||
      write(fd.fd, data.data(), data.size()) !=
          static_cast<ssize_t>(data.size()) ||
      fchmod(fd.fd, mode) != 0)
    throw Failure(std::string("cannot write ") + name + ": " +
                  error_text(errno));
}

// What the situation finds there before it runs: my_file as a file, a folder
// or a dangling link, made long ago.
void prepare(int cwd, const std::string &what) {
  if (what == "file")
    write_file(cwd, "my_file", "precious\n", 0600);
  else if (what == "dir")
    make_folder(cwd, "my_file", 0755);
  else if (what == "link" && symlinkat("target", cwd, "my_file") != 0)
    throw Failure("cannot make my_file: " + error_text(errno));
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
    return lines;
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

// A user id of its own for a run under a process limit: no name, no process,
// and held by no other checker while this one lives (an abstract socket
// named after it, which the kernel lets one process bind and frees when that
// process ends). A process limit counts every process of its user, so a
// shared one would count another checker's processes.
uid_t own_uid() {
  static std::mutex lock;
  static uid_t uid = 0;
  const std::lock_guard<std::mutex> held(lock);
  if (uid) return uid;
  std::set<uid_t> taken;
  setpwent();
  while (const passwd *entry = getpwent()) taken.insert(entry->pw_uid);
  endpwent();
  if (DIR *proc = opendir("/proc")) {
    while (const dirent *entry = readdir(proc)) {
      struct stat info;
      if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9' &&
          fstatat(dirfd(proc), entry->d_name, &info, 0) == 0)
        taken.insert(info.st_uid);
    }
    closedir(proc);
  }
  for (uid_t candidate = kFirstOwnUid; candidate < kLastOwnUid; ++candidate) {
    if (taken.count(candidate)) continue;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const int length = std::snprintf(
        address.sun_path + 1, sizeof address.sun_path - 1,
        "syscall-probes/uid/%u", static_cast<unsigned>(candidate));
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address),
                        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                               1 + length)) == 0)
      return uid = candidate;  // the socket stays open while the checker lives
    if (fd >= 0) close(fd);
  }
  throw Failure("skipped: no user id is free for a run under a process limit");
}

// Runs under a process limit take turns: they share the checker's user id.
std::mutex limited_runs;

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
}

// A report file in the report's folder: a regular file of the observer's
// user, opened without following a link, refused by its size alone.
std::string report_file(int folder, const std::string &name, uid_t uid) {
  const Fd file(openat(folder, name.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.fd < 0 && errno == ELOOP)
    throw Failure("the report is a symbolic link, which is not followed");
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

std::string last_words(const std::string &err) {
  std::string text = err;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  if (text.empty()) return "";
  const std::size_t start = text.rfind('\n');
  return " (it said: " +
         text.substr(start == std::string::npos ? 0 : start + 1, 200) + ")";
}

}  // namespace

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

Seen run(const std::vector<std::string> &command, const std::string &program,
         const std::vector<std::string> &args, const Situation &conditions,
         double timeout) {
  Work work;
  std::string cwd = work.path + "/cwd";
  make_folder(work.fd.fd, "cwd", 0755);
  const bool own_folder = conditions.get("cwd") != "source";
  if (!own_folder) {
    char real[PATH_MAX];
    if (!realpath(places().sources.c_str(), real))
      throw Failure("no folder " + places().sources);
    cwd = real;
  }
  // The user the observer runs as, and so the owner of its report's folder.
  uid_t uid = geteuid();
  gid_t gid = getegid();
  std::string run_program = program;
  std::unique_lock<std::mutex> limited(limited_runs, std::defer_lock);
  if (conditions.other_user()) {
    if (geteuid() != 0)
      throw Failure("skipped: needs root, to run as another user");
    if (conditions.has("user")) {
      passwd entry;
      passwd *found = nullptr;
      char buffer[4096];
      if (getpwnam_r(conditions.get("user").c_str(), &entry, buffer,
                     sizeof buffer, &found) != 0 ||
          !found)
        throw Failure("skipped: there is no user " + conditions.get("user") +
                      " here");
      uid = found->pw_uid;
      gid = found->pw_gid;
    } else {
      limited.lock();
      uid = own_uid();
      gid = uid;
    }
    // A copy that the other user can reach and run.
    const std::string name = program.substr(program.rfind('/') + 1);
    const auto bytes = read_file(program, 64 << 20);
    if (!bytes) throw Failure("cannot read " + program);
    write_file(work.fd.fd, name.c_str(), *bytes, 0755);
    run_program = work.path + "/" + name;
  }
  if (conditions.has("pre") && own_folder) {
    const Fd folder(openat(work.fd.fd, "cwd",
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    prepare(folder.fd, conditions.get("pre"));
  }
  make_folder(work.fd.fd, "report", 0700);
  if (fchownat(work.fd.fd, "report", uid, gid, AT_SYMLINK_NOFOLLOW) != 0)
    throw Failure("skipped: the report's folder cannot be given to user " +
                  std::to_string(uid) + ": " + error_text(errno));
  const std::string report = work.path + "/report/report";

  // The observer's command line and what it starts with.
  std::vector<std::string> words;
  for (const std::string &word : command) {
    std::string replaced = word;
    for (std::size_t at; (at = replaced.find("{report}")) != std::string::npos;)
      replaced.replace(at, 8, report);
    words.push_back(replaced);
  }
  words.push_back(run_program);
  words.insert(words.end(), args.begin(), args.end());
  const std::string path = find_command(words[0]);
  if (path.empty())
    throw Failure("the observer cannot be started: " + words[0] +
                  " is not on the PATH");
  // Everything the child needs is made before it is started: it allocates
  // nothing.
  std::vector<char *> argv;
  // cppcheck-suppress constVariableReference
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::string env_words[] = {"PATH=" + env_path(), "LC_ALL=C"};
  // cppcheck-suppress variableScope
  char *envp[] = {env_words[0].data(), env_words[1].data(), nullptr};

  // Standard output: a file of the run's, a pipe, a terminal, or closed.
  const std::string where = conditions.get("stdout", "file");
  Fd reader, out_fd, err_fd, null_fd(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (where == "file") {
    out_fd.reset(openat(work.fd.fd, "stdout",
                        O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  } else if (where == "pipe") {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) == 0)
      reader.reset(ends[0]), out_fd.reset(ends[1]);
  } else if (where == "pty") {
    reader.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[128];
    if (reader.fd >= 0 && grantpt(reader.fd) == 0 && unlockpt(reader.fd) == 0 &&
        ptsname_r(reader.fd, name, sizeof name) == 0)
      out_fd.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  }
  err_fd.reset(openat(work.fd.fd, "stderr",
                      O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if ((where != "closed" && out_fd.fd < 0) || err_fd.fd < 0 || null_fd.fd < 0)
    throw Failure("cannot set up the run's standard streams: " +
                  error_text(errno));
  int status_pipe[2];
  if (pipe2(status_pipe, O_CLOEXEC) != 0)
    throw Failure("no pipe: " + error_text(errno));
  Fd status_read(status_pipe[0]), status_write(status_pipe[1]);

  const mode_t mask = static_cast<mode_t>(
      std::strtol(conditions.get("umask", "022").c_str(), nullptr, 8));
  const bool fd1000 = conditions.has("fd1000"), rofs = conditions.has("rofs");
  const bool limit = conditions.has("nproc"), other = conditions.other_user();
  const rlim_t processes = static_cast<rlim_t>(
      std::strtol(conditions.get("nproc", "0").c_str(), nullptr, 10));

  const pid_t pid = fork();
  if (pid < 0) throw Failure("cannot start the observer: " + error_text(errno));
  if (pid == 0) {
    // The child: only system calls from here on. A step that fails says which
    // and why on the status pipe, which closes by itself at the exec.
    int step = kFolder;
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    setsid();
    dup2(null_fd.fd, 0);
    if (where == "closed")
      close(1);
    else
      dup2(out_fd.fd, 1);
    dup2(err_fd.fd, 2);
    if (fd1000) dup2(null_fd.fd, 1000);
    for (int fd = 3; fd < 1024; ++fd)
      if (fd != status_write.fd && !(fd1000 && fd == 1000)) close(fd);
    umask(mask);
    bool ok = true;
    if (rofs) {
      step = kMount;
      ok = unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("none", cwd.c_str(), "tmpfs", MS_RDONLY, nullptr) == 0;
    }
    if (ok) step = kFolder, ok = chdir(cwd.c_str()) == 0;
    if (ok && other) {
      step = limit ? kLimit : kUser;
      const rlimit cap = {processes, processes};
      ok = setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 &&
           (!limit || setrlimit(RLIMIT_NPROC, &cap) == 0) &&
           setresuid(uid, uid, uid) == 0;
    }
    if (ok) step = kExec, execve(path.c_str(), argv.data(), envp);
    const int said[2] = {step, errno};
    (void)!write(status_write.fd, said, sizeof said);
    _exit(127);
  }
  status_write.reset();
  out_fd.reset();
  int said[2] = {0, 0};
  ssize_t got;
  while ((got = read(status_read.fd, said, sizeof said)) < 0 &&
         errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof said)) {
    int status;
    waitpid(pid, &status, 0);
    const std::string why = error_text(said[1]);
    switch (said[0]) {
      case kMount:
        throw Failure("skipped: a read-only mount is refused here: " + why);
      case kUser:
        throw Failure("skipped: running as another user is refused here: " +
                      why);
      case kLimit:
        throw Failure("skipped: a process limit is refused here: " + why);
      case kFolder:
        throw Failure("the observer cannot be started in " + cwd + ": " + why);
      default:
        throw Failure("the observer cannot be started: " + why);
    }
  }

  // Wait for the observer, reading its output meanwhile, until the timeout.
  Seen seen;
  seen.observer = pid;
  const Fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::duration<double>(timeout);
  auto drain = [&](int wait_ms) {  // false once the output has ended
    pollfd p = {reader.fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) return true;
    char buffer[65536];
    const ssize_t n = read(reader.fd, buffer, sizeof buffer);
    if (n > 0 && seen.out.size() < kMaxReport)
      seen.out.append(buffer, static_cast<std::size_t>(n));
    return n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN));
  };
  int status = 0;
  bool finished = false;
  while (!finished) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    const int wait_ms =
        static_cast<int>(std::min<long long>(left, pidfd.fd >= 0 ? left : 5));
    pollfd waits[2] = {{pidfd.fd, POLLIN, 0}, {reader.fd, POLLIN, 0}};
    if (poll(waits, 2, wait_ms) < 0 && errno != EINTR) break;
    if (reader.fd >= 0 && waits[1].revents && !drain(0)) reader.reset();
    finished = waitpid(pid, &status, WNOHANG) == pid;
  }
  // An observer that runs the program in its own process (qemu-user,
  // valgrind) leaves a forked child to finish on its own: a moment is given
  // to what is left before it is killed.
  const auto grace = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  const auto settled_by = grace < deadline ? grace : deadline;
  while (finished && kill(-pid, 0) == 0 &&
         std::chrono::steady_clock::now() < settled_by) {
    int left;
    if (waitpid(-pid, &left, WNOHANG) <= 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  end_group(pid);
  if (!finished) {
    waitpid(pid, &status, 0);
    char limit_text[32];
    std::snprintf(limit_text, sizeof limit_text, "%g", timeout);
    throw Failure(std::string("the observer did not finish within ") +
                  limit_text + " s");
  }
  const auto drained_by =
      std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (reader.fd >= 0 && std::chrono::steady_clock::now() < drained_by &&
         drain(100)) {
  }
  if (where == "file") {
    const Fd out(
        openat(work.fd.fd, "stdout", O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    seen.out = text_of(out.fd, kMaxReport);
  }
  seen.err = text_of(err_fd.fd, kMaxErr);
  if (WIFSIGNALED(status))
    throw Failure("the observer was killed by " +
                  signal_name(WTERMSIG(status)) + last_words(seen.err));
  seen.status = WEXITSTATUS(status);
  char real[PATH_MAX];
  seen.cwd = realpath(cwd.c_str(), real) ? real : cwd;
  if (own_folder) {
    const Fd folder(openat(work.fd.fd, "cwd",
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    seen.has_after = true;
    seen.after = listing(folder.fd);
  }

  // The report: a regular file of the observer's user, read by its size;
  // or, from strace -ff, one such file per process, report.PID.
  const Fd folder(openat(work.fd.fd, "report",
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  std::vector<std::pair<long, std::string>> parts = {{-1, "report"}};
  if (faccessat(folder.fd, "report", F_OK, AT_SYMLINK_NOFOLLOW) != 0) {
    parts = per_process(folder.fd);
    if (parts.empty()) parts = {{-1, "report"}};
  }
  for (const auto &[process, name] : parts) {
    std::string text = report_file(folder.fd, name, uid);
    if (process >= 0) {  // each line gets its process's id in front
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
    seen.report += text;
    if (seen.report.size() > kMaxReport)
      throw Failure("the report holds more than the " +
                    std::to_string(kMaxReport) +
                    " bytes that these programs can give rise to");
  }
  return seen;
}

}  // namespace probes
