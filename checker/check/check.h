// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// One situation under one observer: run, read, judged.
#pragma once
#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "judge/verdict.h"
#include "read/report.h"
#include "run/run.h"
#include "situations/situations.h"

namespace probes {

constexpr double kTimeout = 60;  // seconds an observer may take over one run

// The observers that Linux users run, as the checker runs them: strace and
// ltrace unless told otherwise, and the rest with --observer NAME or all.
// What a built-in observer can do, and what it is held to.
enum Trait : std::uint16_t {
  kOtherUsers = 1U << 0,    // runs as another user
  kUnderLimit = 1U << 1,    // runs under a limit on processes
  kMayBeRefused = 1U << 2,  // may find the kernel's tracing refused to it
  kMusl = 1U << 3,          // observes a program built against musl
  kI386 = 1U << 4,          // observes an i386 program
  kComplete = 1U << 5,      // shows every part: what it leaves out fails
  kOwnStatus = 1U << 6,     // exits with the program's status
  kQuiet = 1U << 7,         // leaves the program's standard error as it is
  kForks = 1U << 8,         // follows the processes that the program starts
};
struct BuiltIn {
  const char *name;
  const char *command;
  Format format;
  const char *tool;     // the command that must be installed
  const char *package;  // Debian's, which installs it
  unsigned traits;      // Trait bits
  Percent percent;      // how it reads a % in its report's path
  // For an emulator of the processor, which runs what the kernel will not:
  // the start of the command that emulates another ABI's program in place of
  // the tool, which the ABI's name ends (qemu-i386, qemu-aarch64).
  const char *emulator;
  const char *root_only;    // why it runs for root alone, or nullptr
  const char *why_no_i386;  // why it cannot observe i386, where it says more
  bool can(unsigned trait) const {
    return (traits & trait) == trait;
  }
};
constexpr std::size_t kBuiltIns = 11;
extern const BuiltIn kBuiltIn[kBuiltIns];
const BuiltIn *built_in(const std::string &name);

// Splits a command line into words as a POSIX shell would, quotes and
// backslashes included; false, with the reason, when it cannot.
bool split_words(const std::string &line, std::vector<std::string> &words,
                 std::string &why);

// An observer's command line and the format of its report, with the calls
// before main that it reports for an empty program, found once for each way
// of running.
class Observer {
 public:
  // COMPLETE: what the report does not show fails the check; a built-in
  // that shows every part is held to it always.
  // FORMAT: the report's, or nullopt to tell it from each report.
  Observer(std::vector<std::string> command, std::optional<Format> format,
           std::string label, double timeout, bool complete)
      : command_(std::move(command)),
        format_(format),
        label_(std::move(label)),
        timeout_(timeout),
        complete_(complete) {
    if (const BuiltIn *known = probes::built_in(label_)) {
      percent_ = known->percent;
      complete_ = complete_ || known->can(kComplete);
    }
  }
  const std::string &label() const {
    return label_;
  }
  bool built_in() const {
    return probes::built_in(label_) != nullptr;
  }
  // A built-in with this Trait.
  bool known_to(unsigned trait) const {
    const BuiltIn *known = probes::built_in(label_);
    return known && known->can(trait);
  }
  // The command line for PROGRAM: qemu-user's emulator is its processor's.
  std::vector<std::string> command_for(const std::string &program) const;

  using Verdict = probes::Verdict;
  Verdict check(const Situation &situation);
  // An observer that cannot run here: each situation skips with the reason.
  void unavailable(std::string reason) {
    unavailable_ = std::move(reason);
  }
  // Finds the start-up for the way the situation runs, ahead of its check.
  void prepare(const Situation &situation);
  // Each run's report, standard output and error, and folder afterwards
  // kept in KEEP/SITUATION/NAME/ (KEEP a descriptor of a folder that only
  // this user can change).
  void keep(int folder, std::string name) {
    keep_ = folder;
    kept_as_ = std::move(name);
  }
  // Only these calls are compared (a report filtered to them); all when
  // empty.
  void only(std::vector<std::string> calls) {
    only_ = std::move(calls);
  }

 private:
  // The calls before main, and the format they were read in.
  struct Startup {
    std::vector<Call> calls;
    std::vector<Call> at_exit;  // the C runtime's, after main, before the end
    std::optional<Format> format;  // none told from an empty report
  };
  Startup startup(const Situation &situation);
  Startup find_startup(const Situation &conditions, std::string &said);
  Startup startup_of(const Situation &conditions, const Seen &seen,
                     std::string &said);
  void remember(const Situation &conditions, const Seen &seen);
  Failure startup_failure(const Failure &failure,
                          const std::string &said) const;
  // Why this built-in observer cannot run in the situation, or "".
  std::string cannot_run(const Situation &situation) const;
  Format format_for(const Situation &situation, const std::string &program,
                    std::optional<Seen> &seen);
  Verdict judged(const Situation &situation,
                 const std::vector<std::string> &variants, const Seen &seen,
                 Format format, const Decoding &decoding,
                 std::vector<std::vector<Call>> want, const Startup &startup,
                 std::vector<Process> processes);
  // The situation with its limit on processes (nproc) counting the
  // observer's own processes besides the program's, found by trial.
  Situation counting_own(const Situation &situation);
  int own_processes();
  static Situation startup_conditions(const Situation &situation);
  static std::string startup_key(const Situation &situation);
  std::vector<std::string> command_;
  std::optional<Format> format_;
  std::string label_;
  double timeout_;
  bool complete_;
  Percent percent_ = Percent::kAsIs;
  void kept(const std::string &situation, const Seen &seen) const;
  std::string unavailable_;
  int keep_ = -1;
  std::string kept_as_;
  std::vector<std::string> only_;
  std::mutex lock_;
  std::map<std::string, std::shared_future<Startup>> startups_;
  std::once_flag own_once_;
  int own_ = -1;  // the processes the observer runs of its own: -1 unknown
};

}  // namespace probes
