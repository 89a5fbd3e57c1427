// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// What keeps a check from being turned by others on a shared machine: a
// temporary folder that nobody else can change, a user id and a control
// group of its own for the runs under a process limit, and every process
// that a run starts, ended
// after the run and when the checker is interrupted.
#pragma once
#include <sys/resource.h>
#include <sys/types.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

namespace probes {

// A failure of the checker's own (its folder, its descriptors, a full disk),
// never an observer's: one line and exit 2.
struct OwnFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The temporary folder ($TMPDIR, or /tmp) by its real path, checked once:
// it and every folder above it belong to root or this user and no one else
// may write in them unless they are sticky. Throws OwnFailure.
struct Temporary {
  std::string path;
  int fd = -1;
};
const Temporary &temporary();
// The folder that holds PATH, where the checker writes what it is asked to
// keep (--junit, --keep), resolved as the kernel would but without passing
// through another user's link, and with every folder on the way root's or
// this user's and writable by no one else unless sticky. FOLDER gets its
// real path and NAME the last one; "" when it is safe, else why not.
std::string safe_folder_of(const std::string &path, std::string &folder,
                           std::string &name);
// Throws OwnFailure when the temporary folder has no room for a run.
void check_room(int folder);

// Whether an errno means that the checker itself ran short (descriptors,
// memory, room), rather than that an observer did something wrong.
bool own_errno(int error);
std::string error_text(int error);
// TEXT written whole to FD, again after a signal; false where it cannot be,
// with errno saying why (ENOSPC where nothing more would go).
bool write_all(int fd, std::string_view text);

// A user id with no name and no process, held for this checker alone by a
// lock in a folder that only root can write in. Throws OwnFailure.
uid_t own_uid();

// A control group of one run's own under the kernel's pids controller,
// holding a situation's limit on processes: no other check shares it, in
// this container or another, as a user id may be shared. Made with its
// limit; the run's child moves itself in by writing "0" to procs, and it is
// removed when the run's processes are gone. Where no such group can be
// had, procs() is -1 and refused() says why.
class Cage {
 public:
  explicit Cage(unsigned long processes);
  Cage(const Cage &) = delete;
  Cage &operator=(const Cage &) = delete;
  ~Cage();
  int procs() const {
    return procs_;
  }
  const std::string &refused() const {
    return refused_;
  }

 private:
  std::string path_, refused_;
  int procs_ = -1;
};

// The limit on open descriptors that the checker was started with; its own
// is raised to the hard limit, and each run gets the first one back. Its
// limit on processes is raised to the hard one too.
void raise_descriptor_limit();
rlim_t started_descriptor_limit();

// SIGINT, SIGTERM, SIGHUP and SIGPIPE are taken by one thread of the
// checker's, which ends every run's processes and then calls back. Call
// before any thread. (A write to a pipe that no one reads fails with EPIPE
// instead: the writer sends SIGPIPE to the process itself.)
void watch_interrupts(void (*then)(int signal));
// "; the check runs under a limit on processes of N (ulimit -u)", where it
// does, for a failure to start a thread or a process; else "".
std::string process_limit();
// The signal that interrupted the check, or 0.
int interrupted();
// Forks the process that starts a run's observer, whose id names the run's
// process group until run_ended; after an interruption it is killed at once.
// Ending a run kills the strays that came to this process, the reaper of
// every run, from any run: whatever left its run's process group.
pid_t fork_run();
void run_ended(pid_t group);
// Holds off the runs' forks while a file that a run will execute is open
// for writing: a child forked meanwhile would hold it open too, until its
// own exec, and the program's exec would fail (ETXTBSY).
std::unique_lock<std::mutex> no_fork();
// Kills every run's process group and every stray, looking at every
// process (at an own failure, an interruption, and the check's end).
void end_every_run();

}  // namespace probes
