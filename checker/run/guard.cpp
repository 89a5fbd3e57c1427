// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
#include "run/guard.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

namespace probes {
namespace {

constexpr uid_t kFirstOwnUid = 61000, kLastOwnUid = 65000;
constexpr unsigned long long kRoomNeeded = 16ull << 20;  // a report and more
constexpr std::size_t kMaxTemporaryPath = 1024;
const char kLocks[] = "/run/syscall-probes";

std::mutex runs_lock;
std::set<pid_t> running;  // the process groups of the runs under way
volatile sig_atomic_t signal_seen = 0;
rlim_t first_limit = RLIM_INFINITY;

// Whether another user could swap what is made in this folder: it is
// theirs, or they may write in it and it is not sticky. "" when not.
std::string swappable(const std::string &folder, const struct stat &info) {
  if (info.st_uid != 0 && info.st_uid != geteuid())
    return folder + " belongs to user " + std::to_string(info.st_uid) +
           ", who could swap what the checker makes in it";
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) && !(info.st_mode & S_ISVTX))
    return folder + " may be written by others and is not sticky";
  return "";
}

// Each folder from / down to PATH, a real path: root's or this user's, and
// writable by no one else unless sticky. "" when all are, else why not.
std::string unsafe_folder(const std::string &path) {
  std::string so_far;
  std::size_t at = 0;
  do {
    const std::size_t slash = path.find('/', at + 1);
    so_far = path.substr(0, slash == std::string::npos ? path.size() : slash);
    at = slash;
    struct stat info;
    const std::string folder = so_far.empty() ? "/" : so_far;
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
      return folder + " is not a folder";
    std::string why = swappable(folder, info);
    if (!why.empty()) return why;
  } while (at != std::string::npos);
  return "";
}

// A path's names between its slashes, empty ones too.
std::deque<std::string> steps_of(const std::string &path) {
  std::deque<std::string> steps;
  for (std::size_t at = 0; at <= path.size();) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    steps.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  return steps;
}

// The processes that may be this process's children: each of its threads'
// children (where an orphan of a run's is reparented), or where the kernel
// does not list those, or THOROUGH (those lists may miss a child that comes
// or goes while they are read), every process. False where neither can be
// read.
bool candidates(std::vector<pid_t> &pids, bool thorough) {
  DIR *tasks = thorough ? nullptr : opendir("/proc/self/task");
  bool listed = tasks != nullptr;
  while (const dirent *entry = tasks ? readdir(tasks) : nullptr) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    char path[300], text[4096];
    std::snprintf(path, sizeof path, "%s/children", entry->d_name);
    const int fd = openat(dirfd(tasks), path, O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd < 0 ? -1 : read(fd, text, sizeof text - 1);
    if (fd >= 0) close(fd);
    // A list cut short would hide a child: then every process is looked at.
    listed = listed && n >= 0 && n < static_cast<ssize_t>(sizeof text - 1);
    if (!listed) break;
    text[n] = '\0';
    char *end = nullptr;
    for (const char *at = text;; at = end) {
      const long pid = std::strtol(at, &end, 10);
      if (end == at) break;
      pids.push_back(static_cast<pid_t>(pid));
    }
  }
  if (tasks) closedir(tasks);
  if (listed) return true;
  pids.clear();
  DIR *proc = opendir("/proc");
  if (!proc) return false;
  while (const dirent *entry = readdir(proc))
    if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9')
      pids.push_back(
          static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10)));
  closedir(proc);
  return true;
}

// Whether PID is a child of this process in a process group of its own that
// no run under way holds: what an observer left behind.
bool stray(pid_t pid) {
  char path[64], text[512];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  // pid (comm) state ppid pgrp ...: comm may hold anything but ends at the
  // last ')'.
  const char *after = std::strrchr(text, ')');
  if (!after || after[1] != ' ' || after[2] == '\0' || after[3] != ' ')
    return false;
  char *end = nullptr;
  const long parent = std::strtol(after + 4, &end, 10);
  const long group = end && *end == ' ' ? std::strtol(end + 1, &end, 10) : 0;
  if (parent != getpid() || group == 0 || group == getpgrp()) return false;
  const std::lock_guard<std::mutex> held(runs_lock);
  return !running.count(static_cast<pid_t>(group)) && !running.count(pid);
}

// Kills the processes whose parent is this process and that belong to no
// run under way: what an observer left behind, reparented to its reaper.
// Returns how many it found.
int kill_strays(bool thorough) {
  std::vector<pid_t> pids;
  if (!candidates(pids, thorough)) return 0;
  int found = 0;
  for (const pid_t pid : pids) {
    if (!stray(pid)) continue;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, WNOHANG);
    ++found;
  }
  return found;
}

void end_strays(bool thorough) {
  // A stray's own children come here once it is gone: a few rounds.
  for (int round = 0; round < 50 && kill_strays(thorough) > 0; ++round)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

}  // namespace

bool write_all(int fd, std::string_view text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string error_text(int error) {
  char buffer[256];
  // The GNU strerror_r returns its text; the POSIX one fills the buffer.
  const auto result = strerror_r(error, buffer, sizeof buffer);
  if constexpr (std::is_same_v<decltype(result), int>)
    return buffer;
  else
    return result;
}

bool own_errno(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM ||
         error == ENOSPC || error == EDQUOT || error == EIO || error == EROFS ||
         error == EAGAIN;
}

std::string safe_folder_of(const std::string &path, std::string &folder,
                           std::string &name) {
  const std::size_t slash = path.rfind('/');
  name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..")
    return path + " names no file in a folder";
  // The names still to walk, in order.
  std::deque<std::string> left =
      steps_of(slash == std::string::npos ? "" : path.substr(0, slash));
  char here[PATH_MAX];
  std::string real = "/";
  if (path[0] != '/') {
    if (!getcwd(here, sizeof here)) return "no working folder";
    real = here;
  }
  std::string why = unsafe_folder(real);
  for (int links = 0; why.empty() && !left.empty();) {
    const std::string step = left.front();
    left.pop_front();
    if (step.empty() || step == ".") continue;
    if (step == "..") {
      real.resize(std::max<std::size_t>(1, real.rfind('/')));
      continue;
    }
    const std::string next = (real == "/" ? "" : real) + "/" + step;
    struct stat info;
    if (lstat(next.c_str(), &info) != 0)
      return "cannot reach " + next + ": " + error_text(errno);
    if (S_ISLNK(info.st_mode)) {
      if (info.st_uid != 0 && info.st_uid != geteuid())
        return next + " is a link of user " + std::to_string(info.st_uid) +
               "'s, which is not followed";
      char target[PATH_MAX];
      const ssize_t n = readlink(next.c_str(), target, sizeof target);
      if (n <= 0 || n >= static_cast<ssize_t>(sizeof target) || ++links > 40)
        return "cannot follow the link " + next;
      const std::string to(target, static_cast<std::size_t>(n));
      const std::deque<std::string> steps = steps_of(to);
      left.insert(left.begin(), steps.begin(), steps.end());
      if (to[0] == '/') real = "/";
      continue;
    }
    if (!S_ISDIR(info.st_mode)) return next + " is not a folder";
    why = swappable(next, info);
    real = next;
  }
  folder = real;
  return why;
}

// Why observers cannot be given paths in this folder, or "": a path longer
// than their reports' lines hold with it two or three times over (strace's
// execve), or one that they write escaped or read as an escape (uftrace).
std::string odd_path(const std::string &path) {
  if (path.size() > kMaxTemporaryPath)
    return "is " + std::to_string(path.size()) +
           " characters long, more than the " +
           std::to_string(kMaxTemporaryPath) + " that observers' reports hold";
  for (const char c : path) {
    if (c == '\\')
      return "holds a backslash, which observers read as an escape";
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return "holds a control character, which observers write escaped";
  }
  return "";
}

const Temporary &temporary() {
  static const Temporary where = [] {
    const char *tmp = std::getenv("TMPDIR");
    const std::string asked = tmp && *tmp == '/' ? tmp : "/tmp";
    char real[PATH_MAX];
    if (!realpath(asked.c_str(), real))
      throw OwnFailure("the temporary folder " + asked +
                       " cannot be used: " + error_text(errno));
    const std::string why = unsafe_folder(real);
    if (!why.empty())
      throw OwnFailure("the temporary folder " + asked +
                       " is not safe to work in: " + why +
                       "; set TMPDIR to a folder of your own");
    const std::string odd = odd_path(real);
    if (!odd.empty())
      throw OwnFailure("the temporary folder " + asked + " " + odd +
                       "; set TMPDIR to another");
    Temporary found{real, open(real, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (found.fd < 0)
      throw OwnFailure("the temporary folder " + asked +
                       " cannot be opened: " + error_text(errno));
    return found;
  }();
  return where;
}

void check_room(int folder) {
  struct statvfs room;
  if (fstatvfs(folder, &room) != 0) return;
  const unsigned long long left =
      static_cast<unsigned long long>(room.f_bavail) * room.f_frsize;
  if (left < kRoomNeeded)
    throw OwnFailure("the temporary folder " + temporary().path + " has " +
                     std::to_string(left >> 10) +
                     " KiB free, too little for a run's report");
  if (room.f_favail < 64 && room.f_files > 0)
    throw OwnFailure("the temporary folder " + temporary().path +
                     " has no free inodes left");
}

namespace {

// Where a group with the pids controller can be made: cgroup v2's root, where
// pids can be handed to its children, or cgroup v1's pids hierarchy. "" if
// neither is here.
std::string pids_hierarchy() {
  const std::string v2 = "/sys/fs/cgroup";
  const int list =
      open((v2 + "/cgroup.controllers").c_str(), O_RDONLY | O_CLOEXEC);
  if (list >= 0) {
    char controllers[512];
    const ssize_t n = read(list, controllers, sizeof controllers - 1);
    close(list);
    controllers[std::max<ssize_t>(n, 0)] = '\0';
    if (!std::strstr(controllers, "pids")) return "";
    const int fd =
        open((v2 + "/cgroup.subtree_control").c_str(), O_WRONLY | O_CLOEXEC);
    const bool handed = fd >= 0 && write(fd, "+pids", 5) == 5;
    if (fd >= 0) close(fd);
    return handed ? v2 : "";
  }
  const std::string v1 = "/sys/fs/cgroup/pids";
  return access((v1 + "/cgroup.procs").c_str(), W_OK) == 0 ? v1 : "";
}

}  // namespace

Cage::Cage(unsigned long processes) {
  static const std::string hierarchy = pids_hierarchy();
  if (hierarchy.empty()) {
    refused_ = "no control group with the pids controller can be made";
    return;
  }
  unsigned char random[6];
  if (getrandom(random, sizeof random, 0) != sizeof random)
    throw OwnFailure("no random name for a control group");
  char name[40];
  std::snprintf(name, sizeof name, "/syscall-probes-%02x%02x%02x%02x%02x%02x",
                random[0], random[1], random[2], random[3], random[4],
                random[5]);
  if (mkdir((hierarchy + name).c_str(), 0700) != 0) {
    refused_ = "no control group can be made in " + hierarchy + ": " +
               error_text(errno);
    return;
  }
  path_ = hierarchy + name;
  const std::string limit = std::to_string(processes);
  const int max = open((path_ + "/pids.max").c_str(), O_WRONLY | O_CLOEXEC);
  const bool set = max >= 0 && write(max, limit.data(), limit.size()) ==
                                   static_cast<ssize_t>(limit.size());
  const int error = errno;
  if (max >= 0) close(max);
  procs_ = open((path_ + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
  if (!set || procs_ < 0) {
    refused_ = "the control group " + path_ +
               " cannot be set: " + error_text(set ? errno : error);
    if (procs_ >= 0) close(procs_);
    procs_ = -1;
  }
}

Cage::~Cage() {
  if (path_.empty()) return;
  if (procs_ >= 0) close(procs_);
  // Its processes are ended and reaped before; their last exits may take a
  // moment to leave the group.
  for (int tries = 0; tries < 1000 && rmdir(path_.c_str()) != 0 &&
                      (errno == EBUSY || errno == EINTR);
       ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

uid_t own_uid() {
  static std::mutex lock;
  static uid_t uid = 0;
  const std::lock_guard<std::mutex> held(lock);
  if (uid) return uid;
  // A folder of root's, 0700: only root can make, take or unlink a lock in
  // it, whatever network or process namespace the checker runs in.
  if (mkdir(kLocks, 0700) != 0 && errno != EEXIST)
    throw OwnFailure(std::string("cannot make ") + kLocks + ": " +
                     error_text(errno));
  const int folder =
      open(kLocks, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat info;
  if (folder < 0 || fstat(folder, &info) != 0 || info.st_uid != 0 ||
      (info.st_mode & 077))
    throw OwnFailure(std::string(kLocks) +
                     " is not a folder of root's alone, mode 0700");
  std::set<uid_t> named;
  setpwent();
  while (const passwd *entry = getpwent()) named.insert(entry->pw_uid);
  endpwent();
  for (uid_t candidate = kFirstOwnUid; candidate < kLastOwnUid; ++candidate) {
    if (named.count(candidate)) continue;
    const std::string name = "uid-" + std::to_string(candidate);
    const int fd = openat(folder, name.c_str(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
      throw OwnFailure("cannot make a lock in " + std::string(kLocks) + ": " +
                       error_text(errno));
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      continue;  // another checker's
    }
    // Held now; but a process of that id from elsewhere would be counted.
    bool used = false;
    if (DIR *proc = opendir("/proc")) {
      while (const dirent *entry = readdir(proc)) {
        struct stat process;
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9' &&
            fstatat(dirfd(proc), entry->d_name, &process, 0) == 0 &&
            process.st_uid == candidate)
          used = true;
      }
      closedir(proc);
    }
    if (used) {
      close(fd);
      continue;
    }
    close(folder);
    return uid = candidate;  // the lock stays held while the checker lives
  }
  close(folder);
  throw OwnFailure("no user id from " + std::to_string(kFirstOwnUid) + " to " +
                   std::to_string(kLastOwnUid - 1) +
                   " is free for a run under a process limit");
}

void raise_descriptor_limit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  first_limit = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  // Its threads and runs count against the limit on processes too, which
  // the caller's soft one (ulimit -S -u) need not cut short.
  if (getrlimit(RLIMIT_NPROC, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NPROC, &limit);
}

rlim_t started_descriptor_limit() {
  return first_limit;
}

void watch_interrupts(void (*then)(int signal)) {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
    sigaddset(&set, signal);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread watch;
  try {
    watch = std::thread([set, then] {
      int signal = 0;
      while (sigwait(&set, &signal) != 0) {
      }
      {
        const std::lock_guard<std::mutex> held(runs_lock);
        signal_seen = signal;
      }
      end_every_run();
      then(signal);
    });
  } catch (const std::system_error &error) {
    throw OwnFailure("cannot start a thread: " + std::string(error.what()) +
                     process_limit());
  }
  watch.detach();
}

std::string process_limit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NPROC, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return "";
  return "; the check runs under a limit on processes of " +
         std::to_string(limit.rlim_cur) + " (ulimit -u)";
}

int interrupted() {
  return signal_seen;
}

pid_t fork_run() {
  // Forked and counted at once, so that no stray hunt takes it for one.
  const std::lock_guard<std::mutex> held(runs_lock);
  const pid_t pid = fork();
  if (pid <= 0) return pid;  // the child touches nothing of the parent's
  running.insert(pid);
  if (signal_seen) kill(pid, SIGKILL);  // too late: it ends before it begins
  return pid;
}

std::unique_lock<std::mutex> no_fork() {
  return std::unique_lock<std::mutex>(runs_lock);
}

void run_ended(pid_t group) {
  {
    const std::lock_guard<std::mutex> held(runs_lock);
    running.erase(group);
  }
  end_strays(false);
}

void end_every_run() {
  {
    const std::lock_guard<std::mutex> held(runs_lock);
    for (const pid_t group : running) {
      kill(-group, SIGKILL);
      kill(group, SIGKILL);  // one that has not yet made its own group
    }
  }
  end_strays(true);
}

}  // namespace probes
