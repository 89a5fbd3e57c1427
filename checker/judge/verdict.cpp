// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
#include "judge/verdict.h"

#include <algorithm>
#include <functional>
#include <utility>

namespace probes {
namespace {

// Each process's calls with their ids named, the program's from main on.
std::vector<std::vector<Call>> named_calls(
    const std::vector<Process> &processes, const Decoding &decoding,
    pid_t observer) {
  std::vector<std::vector<Call>> got = normalise(processes, decoding, observer);
  if (!got.empty())
    got[0].erase(std::remove_if(got[0].begin(), got[0].end(), starts_process),
                 got[0].end());
  return got;
}

// A report that shows no process's exit does not show how they ended: the
// reference's exits are counted as not shown.
void without_exits(std::vector<std::vector<Call>> &want,
                   const std::vector<std::vector<Call>> &got,
                   const Decoding &decoding, Unshown &unshown) {
  for (const auto &calls : got)
    if (std::any_of(calls.begin(), calls.end(), std::mem_fn(&Call::is_end)))
      return;
  if (!decoding.exits_shown) return;
  for (auto &calls : want) {
    const auto exits =
        std::remove_if(calls.begin(), calls.end(), std::mem_fn(&Call::is_end));
    unshown.exits += static_cast<std::size_t>(calls.end() - exits);
    calls.erase(exits, calls.end());
  }
}

// The calls that a report filtered to ONLY holds, on both sides; how many
// of the first STARTUP calls of WANT's first process are left.
std::size_t filtered(std::vector<std::vector<Call>> &want,
                     std::vector<std::vector<Call>> &got, std::size_t startup,
                     const std::vector<std::string> &only) {
  if (only.empty()) return startup;
  auto other = [&only](const Call &call) {
    return call.is_call &&
           std::find(only.begin(), only.end(), call.name) == only.end();
  };
  if (!want.empty())
    startup -= static_cast<std::size_t>(std::count_if(
        want[0].begin(),
        want[0].begin() +
            static_cast<std::ptrdiff_t>(std::min(startup, want[0].size())),
        other));
  for (auto *side : {&want, &got})
    for (auto &calls : *side)
      calls.erase(std::remove_if(calls.begin(), calls.end(), other),
                  calls.end());
  return startup;
}

// Every process's calls against the reference's: a diff for each that
// differs, and one line for processes that the reference has not got.
std::vector<std::string> call_differences(
    const std::vector<std::vector<Call>> &want,
    const std::vector<std::vector<Call>> &got, const Decoding &decoding,
    Unshown &unshown, std::size_t startup) {
  std::vector<std::string> problems;
  const std::vector<Call> none;
  for (std::size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
    if (i > want.size()) {  // one more than the reference has is shown; the
                            // rest counted
      problems.push_back("and " + std::to_string(got.size() - i) +
                         " more processes that the reference has not got");
      break;
    }
    const auto diff = difference(
        i == 0 ? "the calls of the process" : "the calls of the child",
        i < want.size() ? want[i] : none, i < got.size() ? got[i] : none,
        decoding, unshown, i == 0 ? startup : 0);
    problems.insert(problems.end(), diff.begin(), diff.end());
  }
  return problems;
}

// What every observer must leave as the program wrote it, standard output,
// and what one held to passing them on must: the exit status and standard
// error.
std::vector<std::string> stream_problems(const Expected &expected,
                                         const Observed &observed,
                                         const Rules &rules) {
  std::vector<std::string> problems;
  if (rules.own_status && observed.status != expected.status)
    problems.push_back("exit status " + std::to_string(observed.status) +
                       ", expected " + std::to_string(expected.status));
  if (observed.out != expected.out)
    problems.push_back("standard output " + quote(observed.out) +
                       ", expected " + quote(expected.out));
  if (rules.quiet && !observed.err.empty())
    problems.push_back("standard error is not empty: " +
                       quote(observed.err.substr(0, 200)));
  return problems;
}

// Whether every byte of PART is in WHOLE, in order.
bool in_order(const std::string &part, const std::string &whole) {
  std::size_t i = 0;
  for (const char c : whole)
    if (i < part.size() && part[i] == c) ++i;
  return i == part.size();
}

// The classic causes, ahead of the differences: the report's framing when
// it reads as another format, and text of the observer's own in the output.
std::vector<std::string> why(const std::vector<std::vector<Call>> &want,
                             const std::vector<std::vector<Call>> &got,
                             bool in_process, const Expected &expected,
                             const Observed &observed, const Rules &rules) {
  auto reasons = causes(want, got, in_process);
  if (!want.empty() && !got.empty()) {
    const std::string numbers = other_numbers(want[0], got[0], expected.abi);
    if (!numbers.empty()) reasons.insert(reasons.begin(), numbers);
  }
  const Format looks = format_of(observed.report);  // its framing's
  std::vector<Process> again;  // named only where its reader reads it
  if (looks != observed.format && !rules.built_in &&
      read_report(observed.report, looks, again).empty() &&
      unread(observed.report, again, looks).empty())
    reasons.insert(reasons.begin(),
                   "the report looks like " + format_name(looks) + "'s, not " +
                       format_name(observed.format) + "'s: say --format " +
                       format_name(looks));
  if (observed.out != expected.out && in_order(expected.out, observed.out))
    reasons.push_back(
        "standard output holds text that the program did not "
        "write: is it the observer's own?");
  return reasons;
}

}  // namespace

Verdict judge(Expected expected, Observed observed, const Rules &rules) {
  std::vector<std::string> problems =
      stream_problems(expected, observed, rules);
  const auto paths = path_problems(observed.processes, observed.cwd);
  // The program in the observer's own process: its format's, or its id the
  // one the checker started.
  const bool in_process = observed.decoding.in_process ||
                          (!observed.processes.empty() &&
                           observed.processes.front().pid == observed.observer);
  Unshown unshown;
  std::vector<std::vector<Call>> got =
      named_calls(observed.processes, observed.decoding, observed.observer);
  std::vector<Process>().swap(observed.processes);  // only GOT is needed now
  std::vector<std::vector<Call>> &want = expected.calls;
  without_exits(want, got, observed.decoding, unshown);
  const std::size_t startup = filtered(want, got, expected.startup, rules.only);
  std::vector<std::string> folder;
  if (expected.folder && observed.folder)
    folder =
        difference("the folder afterwards", *expected.folder, *observed.folder);
  for (const std::vector<std::string> &lines :
       {call_differences(want, got, observed.decoding, unshown, startup), paths,
        folder})
    problems.insert(problems.end(), lines.begin(), lines.end());
  if (problems.empty()) {
    if (!unshown.any()) return {Word::kPassed, {}, ""};
    if (!rules.complete)
      return {Word::kPassed, {}, "not shown: " + unshown.said()};
    problems = {"not shown: " + unshown.said() +
                ", where a complete report shows every part"};
    if (!unshown.first.empty()) problems.push_back("first at " + unshown.first);
  } else {
    const auto reasons = why(want, got, in_process, expected, observed, rules);
    problems.insert(problems.begin(), reasons.begin(), reasons.end());
  }
  // A status that neither success nor the program explains is the
  // observer's own word on what went wrong.
  if (observed.status != 0 && observed.status != expected.status &&
      !rules.own_status)
    problems.push_back("the observer exited with status " +
                       std::to_string(observed.status) +
                       ", and the program with " +
                       std::to_string(expected.status) + observed.said);
  return {Word::kFailed, problems};
}

}  // namespace probes
