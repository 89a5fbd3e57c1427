// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// Running a program once under an observer, in a situation's conditions: a
// folder of its own, standard output, a creation mask, another user, a
// process limit, a read-only folder.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "run/guard.h"
#include "situations/situations.h"

namespace probes {

// Why a run or a report cannot be judged, in one line: a failure of the
// observer's, one that ran out of time, or a skip with its reason. The
// checker's own failures are OwnFailure (guard.h), never this.
struct Failure : std::runtime_error {
  enum class Kind : std::uint8_t { kFailed, kTimedOut, kSkipped };
  explicit Failure(const std::string &what, Kind k = Kind::kFailed)
      : std::runtime_error(what), kind(k) {}
  Failure(const std::string &what, std::string said)
      : std::runtime_error(what), err(std::move(said)) {}
  bool skipped() const {
    return kind == Kind::kSkipped;
  }
  Kind kind = Kind::kFailed;
  std::string err;  // the first of the observer's standard error, if it ran
};
inline Failure skip(const std::string &why) {
  return Failure(why, Failure::Kind::kSkipped);
}

struct Seen {
  int status = 0;          // the observer's exit status
  std::string out;         // the standard output bytes
  std::string err;         // the first of standard error
  std::string said;        // its last lines, for a failure: " (...)" or ""
  pid_t observer = 0;      // the observer's process id
  bool has_after = false;  // the working folder was one of the run's own
  std::vector<std::string> after;  // that folder afterwards, a line an entry
  std::string report;              // the report's bytes
  std::string cwd;                 // the real path of the folder it ran in
};

// Runs PROGRAM with ARGS under the observer COMMAND, whose word {report}
// stands for the report's path, in the conditions SETTINGS gives. Throws
// Failure, or OwnFailure for what goes wrong on the checker's side.
// How an observer reads a % in its report's path: as itself; as the start
// of a pattern, so that %% stands for it (valgrind's --log-file); or not at
// all (qemu's -D), which then gets a path without one where it can.
enum class Percent { kAsIs, kDoubled, kAvoided };
Seen run(const std::vector<std::string> &command, const std::string &program,
         const std::vector<std::string> &args, const Situation &conditions,
         double timeout, Percent percent = Percent::kAsIs);

// Finds a command on the PATH that observers run with; "" if it is not there.
std::string find_command(const std::string &name);

// Why this kernel cannot start PROGRAM, a program of another ABI (i386
// where 32-bit emulation is off), as the error's text; "" when it can.
// Found by starting it, so PROGRAM must be one that does nothing.
std::string kernel_refusal(const std::string &program);

// Whether a run's folder is still there: one under way, or being removed.
bool runs_underway();

// Makes this process the reaper of what its observers leave behind.
void become_reaper();

}  // namespace probes
