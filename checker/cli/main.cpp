// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// syscall-probes: what an observer of six known programs must report, and a
// check of any observer's report against it. The command line.
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "check/check.h"
#include "cli/read_command.h"
#include "cli/results.h"
#include "cli/show.h"
#include "run/guard.h"
#include "run/run.h"

namespace probes {
namespace {

const char kUsage[] = R"(usage: syscall-probes list
       syscall-probes show SITUATION [--observer OBSERVER]
       syscall-probes check [--observer OBSERVER] [--format FORMAT]
                            [--name NAME] [--timeout SECONDS] [--complete]
                            [--calls NAMES] [--keep DIR] [--tap]
                            [--junit FILE] [SITUATION ...]
       syscall-probes read [--format FORMAT] [--json] REPORT
)";

const char kHelp[] = R"(
What an observer of six known programs must report, and a check of any
observer's report against it.

  list       the situations, one a line
  show       a situation's reference, each call beside its source line, as
             a built-in observer's view (system calls, or ltrace's and
             uftrace's library calls) holds it
  check      hold an observer against the reference. OBSERVER is strace,
             ltrace, qemu-user, valgrind, perf-trace, uftrace, bpftrace, gdb (or
             qemu-user-log, valgrind-log-file, perf-trace-o, which write a
             file), all of them (all), both strace and ltrace when not
             given, or a command line, run with the program and its
             arguments appended, that writes its report to the file
             {report}, or without {report} to standard error, in FORMAT: auto (the default: told from the
             report), strace (as `strace -f -o FILE` writes it), ltrace,
             qemu, valgrind, perf, uftrace or json (JSON lines, one
             object a call: see syscall-probes(1)).
             --name: what a custom observer is called in the verdicts.
             Values are compared by what they mean, however shown; what
             a report does not show (a string as its address, a result
             left out) is counted beside "passed", and --complete makes
             it fail, as it always does for strace and ltrace.
             --calls NAMES (open,write): compare only those calls, for a
             report filtered to them. --keep DIR: keep each run's report,
             output and folder in DIR/SITUATION/OBSERVER/.
             --timeout: seconds an observer may take over one run
             (default 60). --tap: the verdicts as TAP version 13 on
             standard output; --junit FILE: also as JUnit XML in FILE.
  read       a report's calls as check reads them, by process; --json: as
             JSON lines

Exit status of check: 0 when nothing failed, 1 when something did, 2 for a
usage error; of read: 1 when the report cannot be read in its format. See syscall-probes(1).
)";

[[noreturn]] void usage(const std::string &message) {
  std::cerr << "syscall-probes: " << printable(message) << "\n";
  std::exit(2);
}

const Situation &find(const std::vector<Situation> &table,
                      const std::string &name) {
  for (const Situation &situation : table)
    if (situation.name == name) return situation;
  usage("no situation named " + name + " (see syscall-probes list)");
}

int command_list(const std::vector<Situation> &table) {
  std::size_t width = 0;
  for (const Situation &s : table) width = std::max(width, s.name.size());
  for (const Situation &s : table) {
    std::printf("%-*s  %-9s  status %-3d  %s\n", static_cast<int>(width),
                s.name.c_str(), s.program.c_str(), s.status,
                s.describe().c_str());
  }
  return 0;
}

// Where the verdicts go besides the lines on standard output.
struct Output {
  bool tap = false;                // TAP version 13 on standard output instead
  std::string junit;               // JUnit XML to this file
  std::string name;                // what a custom observer is called in them
  int junit_fd = -1;               // its folder, opened before anything runs
  std::string junit_name;          // its name in that folder
  bool complete = false;           // what a report does not show fails
  int keep_fd = -1;                // --keep's folder
  std::vector<std::string> calls;  // --calls: only these compared
};

// The folder that holds PATH, opened: one that no other user can change or
// lead elsewhere by a link. NAME gets the last name in PATH.
int open_folder_of(const std::string &option, const std::string &path,
                   std::string &name) {
  std::string folder;
  const std::string why = safe_folder_of(path, folder, name);
  if (!why.empty()) usage(option + " " + path + ": " + why);
  const int fd = open(folder.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    usage(option + " cannot open " + folder + ": " + error_text(errno));
  return fd;
}

// The JUnit file's folder, checked before anything runs: the file is
// written at the end as a new one, renamed into place.
int open_junit(const std::string &path, std::string &name) {
  const int folder = open_folder_of("--junit", path, name);
  struct stat info;
  if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(info.st_mode))
      usage("--junit " + path + " is a symbolic link, which is not followed");
    if (!S_ISREG(info.st_mode))
      usage("--junit " + path + " is not a regular file that can be written");
  }
  if (faccessat(folder, ".", W_OK | X_OK, AT_EACCESS) != 0)
    usage("cannot write " + path + ": " + error_text(errno));
  return folder;
}

// --keep's folder, made when it is not there: one that only this user can
// change, opened without following a link.
int open_keep(const std::string &path) {
  if (path.empty()) usage("--keep takes a folder");
  std::string name;
  const int folder = open_folder_of("--keep", path, name);
  if (mkdirat(folder, name.c_str(), 0755) != 0 && errno != EEXIST)
    usage("--keep cannot make " + path + ": " + error_text(errno));
  const int fd =
      openat(folder, name.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  close(folder);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0)
    usage("--keep " + path +
          " is not a folder that can be opened: " + error_text(errno));
  if (info.st_uid != geteuid() || (info.st_mode & 022))
    usage("--keep " + path +
          " must be a folder of this user's that no one else may write in");
  return fd;
}

// TEXT as NAME in FOLDER: a new file of this user's, written whole and then
// renamed into place, so that an interruption leaves the file that was
// there or the whole new one, and nobody else's file is written into.
bool write_new(int folder, const std::string &name, const std::string &text) {
  unsigned char random[6];
  if (getrandom(random, sizeof random, 0) != sizeof random) return false;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%02x%02x%02x%02x%02x%02x", random[0],
                random[1], random[2], random[3], random[4], random[5]);
  const std::string partial = "." + name + suffix;
  const int fd =
      openat(folder, partial.c_str(),
             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool done = write_all(fd, text) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && done) done = false, error = errno;
  if (done && renameat(folder, partial.c_str(), folder, name.c_str()) != 0)
    done = false, error = errno;
  if (!done) {
    unlinkat(folder, partial.c_str(), 0);
    errno = error;
  }
  return done;
}

// The verdicts as they come in, from the workers and the interrupt watch.
std::mutex verdicts_lock;
std::condition_variable verdicts_ready;

void wake_up(int) {
  const std::lock_guard<std::mutex> held(verdicts_lock);
  verdicts_ready.notify_all();
}

// An observer given by a relative path is found from the caller's folder,
// not from the folder that the program runs in.
std::string from_here(const std::string &word) {
  if (word.empty() || word[0] == '/' || word.find('/') == std::string::npos)
    return word;
  char here[PATH_MAX];
  return getcwd(here, sizeof here) ? std::string(here) + "/" + word : word;
}

// The last line of a check, the JUnit file, and the exit status.
int summary(const Output &out, const std::vector<Result> &results,
            std::size_t jobs, std::size_t finished) {
  int passed = 0, failed = 0, skipped = 0;
  for (const Result &result : results)
    ++(result.word == Word::kPassed   ? passed
       : result.word == Word::kFailed ? failed
                                      : skipped);
  if (const int signal = interrupted()) {
    if (out.tap) std::printf("Bail out! interrupted by signal %d\n", signal);
    std::printf(
        "%sinterrupted after %zu of %zu checks: %d passed, %d failed, "
        "%d skipped\n",
        out.tap ? "# " : "", finished, jobs, passed, failed, skipped);
    return 128 + signal;
  }
  std::printf("%s%d passed, %d failed, %d skipped\n", out.tap ? "# " : "",
              passed, failed, skipped);
  if (out.junit_fd >= 0 &&
      !write_new(out.junit_fd, out.junit_name, junit(results))) {
    std::fprintf(stderr, "syscall-probes: cannot write %s: %s\n",
                 out.junit.c_str(), error_text(errno).c_str());
    return 2;
  }
  return failed ? 1 : 0;
}

// The observers asked for, each ready to run; nullopt, after one line,
// where the one asked for is not installed.
std::optional<std::vector<std::unique_ptr<Observer>>> make_observers(
    const Output &out, const std::optional<std::string> &asked,
    const std::optional<std::string> &format_name, double timeout) {
  std::vector<std::string> labels;
  if (asked && *asked == "all")
    for (const BuiltIn &known : kBuiltIn) labels.emplace_back(known.name);
  else if (asked)
    labels.push_back(*asked);
  else
    labels = {"strace", "ltrace"};
  std::vector<std::unique_ptr<Observer>> observers;
  for (const std::string &label : labels) {
    const BuiltIn *known = built_in(label);
    // A built-in observer's format is known; any other's is told from its
    // report unless given.
    std::optional<Format> format;
    if (known) format = known->format;
    Format named;
    if (format_name && format_named(*format_name, named)) format = named;
    std::vector<std::string> words;
    std::string why;
    if (!split_words(known ? known->command : label, words, why))
      usage("the observer command line cannot be read: " + why);
    if (words.empty()) usage("the observer command line is empty");
    words[0] = from_here(words[0]);
    const std::string tool = known ? known->tool : words[0];
    observers.push_back(std::make_unique<Observer>(words, format, label,
                                                   timeout, out.complete));
    observers.back()->only(out.calls);
    if (out.keep_fd >= 0)
      observers.back()->keep(out.keep_fd, labels.size() > 1 || known ? label
                                          : out.name.empty() ? "observer"
                                                             : out.name);
    if (!find_command(tool).empty()) continue;
    if (labels.size() == 1) {  // the one observer asked for
      std::printf("%s: %s is not installed or not on the PATH\n",
                  printable(label).c_str(), printable(tool).c_str());
      return std::nullopt;
    }
    observers.back()->unavailable(tool +
                                  " is not installed: Debian's package " +
                                  known->package + " has it");
  }
  return observers;
}

// Every situation under every observer, side by side, one per processor;
// the verdicts are printed in order, each as soon as it and those before it
// are in.
class Schedule {
 public:
  Schedule(const Output &out, std::vector<const Situation *> chosen,
           std::vector<std::unique_ptr<Observer>> observers)
      : out_(out),
        chosen_(std::move(chosen)),
        observers_(std::move(observers)) {
    for (const Situation *s : chosen_)
      for (auto &observer : observers_)
        jobs_.push_back({s, observer.get(), std::nullopt});
    // The start-ups go first, every situation of each way of running but
    // the first, so that no worker waits for another's.
    for (Job &job : jobs_) startups_.emplace_back(job.observer, job.situation);
  }
  int run();

 private:
  struct Job {
    const Situation *situation;
    Observer *observer;
    std::optional<Observer::Verdict> verdict;
  };
  bool stopped() const {  // under verdicts_lock
    return interrupted() || !own_failure_.empty();
  }
  void work();
  void start_workers();
  void print_verdicts();
  int finish();

  const Output &out_;
  std::vector<const Situation *> chosen_;
  std::vector<std::unique_ptr<Observer>> observers_;
  std::vector<Job> jobs_;
  std::vector<std::pair<Observer *, const Situation *>> startups_;
  std::atomic<std::size_t> next_{0};
  std::string own_failure_;           // the checker's own, which ends the check
  std::atomic<unsigned> working_{0};  // workers not yet done
  std::vector<std::thread> workers_;
  std::vector<Result> results_;
  std::size_t finished_ = 0;
};

void Schedule::work() {
  struct Count {
    std::atomic<unsigned> &n;
    explicit Count(std::atomic<unsigned> &count) : n(count) {
      ++n;
    }
    ~Count() {
      --n;
    }
  } const counted(working_);
  try {
    for (std::size_t i; (i = next_++) < startups_.size() + jobs_.size();) {
      {
        const std::lock_guard<std::mutex> held(verdicts_lock);
        if (stopped()) return;
      }
      if (i < startups_.size()) {
        startups_[i].first->prepare(*startups_[i].second);
        continue;
      }
      Job &job = jobs_[i - startups_.size()];
      Observer::Verdict verdict = job.observer->check(*job.situation);
      const std::lock_guard<std::mutex> held(verdicts_lock);
      job.verdict = std::move(verdict);
      verdicts_ready.notify_all();
    }
  } catch (const std::exception &error) {
    const std::lock_guard<std::mutex> held(verdicts_lock);
    if (own_failure_.empty()) own_failure_ = error.what();
    verdicts_ready.notify_all();
  }
}

void Schedule::start_workers() {
  const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
  try {
    for (unsigned i = 0; i < std::min<std::size_t>(cores, jobs_.size()); ++i)
      workers_.emplace_back([this] { work(); });
  } catch (const std::system_error &) {
    // Under a low limit on processes (ulimit -u) the check goes on with the
    // workers it has, or without one, in this thread, before the verdicts.
    if (workers_.empty()) work();
  }
}

void Schedule::print_verdicts() {
  std::size_t width = 0;
  for (const Situation *s : chosen_) width = std::max(width, s->name.size());
  if (out_.tap) std::printf("TAP version 13\n1..%zu\n", jobs_.size());
  for (Job &job : jobs_) {
    std::unique_lock<std::mutex> held(verdicts_lock);
    verdicts_ready.wait(held,
                        [&] { return job.verdict.has_value() || stopped(); });
    if (stopped()) break;
    Observer::Verdict verdict =
        std::move(job.verdict).value_or(Observer::Verdict{});
    held.unlock();
    ++finished_;
    const std::string label = observers_.size() > 1 || job.observer->built_in()
                                  ? job.observer->label()
                              : out_.name.empty() ? "observer"
                                                  : out_.name;
    results_.push_back({job.situation->name, label, verdict.word,
                        std::move(verdict.lines), std::move(verdict.note)});
    const std::string shown = out_.tap
                                  ? tap_point(results_.back(), results_.size())
                                  : text_line(results_.back(), width);
    std::fputs(shown.c_str(), stdout);
    // No one reads the verdicts any more (check | head -n 1): the check ends
    // as interrupted, and leaves nothing behind. (Sent to the process, where
    // the thread that watches signals takes it.)
    if (std::fflush(stdout) != 0 && errno == EPIPE) kill(getpid(), SIGPIPE);
  }
}

int Schedule::finish() {
  std::string own;  // read under the lock: a worker may still be at work
  {
    const std::lock_guard<std::mutex> held(verdicts_lock);
    own = own_failure_;
  }
  if (!own.empty()) {
    std::fprintf(stderr, "syscall-probes: %s\n", printable(own).c_str());
    return 2;
  }
  return summary(out_, results_, jobs_.size(), finished_);
}

int Schedule::run() {
  start_workers();
  print_verdicts();
  bool stop = false;
  {
    const std::lock_guard<std::mutex> held(verdicts_lock);
    stop = stopped();
  }
  // Every process that a run left is gone, whatever a quicker look after
  // each run missed.
  end_every_run();
  if (stop) {
    // A worker still reading or judging a long report is not waited for:
    // once no run's folder is left, an interrupted check ends at once.
    for (int i = 0; i < 10000 && runs_underway(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (interrupted() && working_ > 0 && !runs_underway()) {
      const int status = finish();
      std::fflush(stdout);
      std::fflush(stderr);
      std::_Exit(status);
    }
  }
  for (std::thread &worker : workers_) worker.join();
  return finish();
}

int command_check(const Output &out, const std::vector<Situation> &table,
                  const std::vector<std::string> &names,
                  const std::optional<std::string> &asked,
                  const std::optional<std::string> &format_name,
                  double timeout) {
  std::vector<const Situation *> chosen;
  for (const std::string &name : names) chosen.push_back(&find(table, name));
  if (names.empty())
    for (const Situation &s : table) chosen.push_back(&s);
  auto observers = make_observers(out, asked, format_name, timeout);
  if (!observers) return 1;
  become_reaper();
  Schedule schedule(out, std::move(chosen), std::move(*observers));
  return schedule.run();
}

// The command line, as one request.
struct Request {
  std::string command;
  std::vector<std::string> positional;
  std::optional<std::string> observer, format;
  std::optional<double> timeout;
  bool json = false;
  Output out;
};

bool known_option(const std::string &command, const std::string &word) {
  if (word == "--observer") return command != "list" && command != "read";
  if (word == "--format") return command == "read" || command == "check";
  if (word == "--json") return command == "read";
  for (const char *option : {"--timeout", "--junit", "--tap", "--complete",
                             "--name", "--keep", "--calls"})
    if (word == option) return command == "check";
  return false;
}

// --calls open,write: names of calls, joined by commas.
std::vector<std::string> call_names(const std::string &value) {
  std::vector<std::string> names;
  for (std::size_t start = 0; start <= value.size();) {
    std::size_t end = value.find(',', start);
    if (end == std::string::npos) end = value.size();
    const std::string name = value.substr(start, end - start);
    if (name.empty() ||
        name.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") !=
            std::string::npos)
      usage("--calls takes names of calls, joined by commas");
    names.push_back(name);
    start = end + 1;
  }
  return names;
}

// An option's value taken into the request.
void take_value(Request &request, const std::string &word,
                const std::string &value) {
  Output &out = request.out;
  if (word == "--observer") {
    request.observer = value;
  } else if (word == "--format") {
    Format named;
    if (value != "auto" && !format_named(value, named))
      usage(
          "--format takes auto, strace, ltrace, qemu, valgrind, perf, "
          "uftrace or json");
    request.format = value;
  } else if (word == "--name") {
    if (value.empty() || value.find_first_of("\n\t") != std::string::npos)
      usage("--name takes a name, on one line");
    out.name = value;
  } else if (word == "--keep") {
    out.keep_fd = open_keep(value);
  } else if (word == "--calls") {
    out.calls = call_names(value);
  } else if (word == "--junit") {
    if (value.empty()) usage("--junit takes a file name");
    out.junit = value;
  } else {
    char *end = nullptr;
    const double seconds = std::strtod(value.c_str(), &end);
    if (value.empty() || *end || !(seconds > 0) || seconds > 1e6)
      usage("--timeout takes a number of seconds above 0");
    request.timeout = seconds;
  }
}

Request request_of(const std::vector<std::string> &words) {
  Request request;
  request.command = words[0];
  const std::string &command = request.command;
  if (command != "list" && command != "show" && command != "check" &&
      command != "read")
    usage("no command " + command + ": say list, show, check or read");
  bool options = true;  // until --
  for (std::size_t i = 1; i < words.size(); ++i) {
    std::string word = words[i], value;
    if (options && word == "--") {
      options = false;
      continue;
    }
    const bool option = options && word.rfind("--", 0) == 0;
    const std::size_t eq = word.find('=');
    if (option && eq != std::string::npos)
      value = word.substr(eq + 1), word.resize(eq);
    if (!option) {
      request.positional.push_back(word);
      continue;
    }
    if (!known_option(command, word))
      usage("no option " + word + " for " + command);
    if (word == "--tap" || word == "--complete" || word == "--json") {
      if (eq != std::string::npos) usage(word + " takes no value");
      (word == "--tap"    ? request.out.tap
       : word == "--json" ? request.json
                          : request.out.complete) = true;
      continue;
    }
    if (eq == std::string::npos) {
      if (i + 1 == words.size()) usage(word + " takes a value");
      value = words[++i];
    }
    take_value(request, word, value);
  }
  return request;
}

int command_read(const Request &request) {
  if (request.positional.size() != 1) usage("read takes one report");
  Format named = Format::kStrace;
  const bool given = request.format && *request.format != "auto" &&
                     format_named(*request.format, named);
  return read_command(request.positional[0],
                      given ? std::optional<Format>(named) : std::nullopt,
                      request.json);
}

int main(int argc, char **argv) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) usage("say list, show, check or read (see --help)");
  for (const std::string &word : words) {
    if (word == "-h" || word == "--help") {
      std::cout << kUsage << kHelp;
      return 0;
    }
  }
  Request request = request_of(words);
  const std::string &command = request.command;
  if (command == "read") return command_read(request);
  std::vector<Situation> table;
  try {
    table = read_situations();
  } catch (const std::runtime_error &error) {
    std::cerr << "syscall-probes: cannot read the situations: " << error.what()
              << "\n";
    return 2;
  }
  if (command == "list") {
    if (!request.positional.empty()) usage("list takes no situation");
    return command_list(table);
  }
  // Before anything runs: the temporary folder, the descriptors, the
  // interruptions, and the JUnit file.
  temporary();
  raise_descriptor_limit();
  watch_interrupts(wake_up);
  Output &out = request.out;
  if (!out.junit.empty()) out.junit_fd = open_junit(out.junit, out.junit_name);
  if (command == "show") {
    if (request.positional.size() != 1) usage("show takes one situation");
    const std::string label = request.observer.value_or("strace");
    if (!built_in(label))
      usage("show takes a built-in observer: strace, ltrace, qemu-user ...");
    const int status = show(find(table, request.positional[0]), label);
    return interrupted() ? 128 + interrupted() : status;
  }
  return command_check(out, table, request.positional, request.observer,
                       request.format, request.timeout.value_or(kTimeout));
}

}  // namespace
}  // namespace probes

int main(int argc, char **argv) {
  try {
    return probes::main(argc, argv);
  } catch (const std::exception
               &error) {  // what no part foresaw still gets one line
    std::cerr << "syscall-probes: " << error.what() << "\n";
    return 2;
  }
}
