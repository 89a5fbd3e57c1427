// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// The source lines come from one run of the situation under the observer
// with call sites: strace -k prints the stack of each call, ltrace -i the
// address each returns to. addr2line turns an address into a source line; it
// reads the programs' DWARF line tables, which would otherwise mean a DWARF
// reader here (elfutils' libdw, as strace -k uses). check does not need it.
#include "cli/show.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>

#include "calls/elf.h"
#include "check/check.h"
#include "cli/results.h"
#include "read/report.h"
#include "run/run.h"

namespace probes {
namespace {

struct Site {
  std::string name;
  std::optional<std::uint64_t> address;
  bool cut = false;
  std::string line;  // probe5.cpp:18
};

// What a command prints on its standard output; nullopt if it cannot run.
std::optional<std::string> output_of(const std::vector<std::string> &words) {
  const std::string path = find_command(words[0]);
  int ends[2];
  if (path.empty() || pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
  std::vector<char *> argv;
  std::vector<std::string> copy = words;
  // cppcheck-suppress constVariableReference
  for (std::string &word : copy) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(ends[1], 1);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(ends[1]);
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = read(ends[0], buffer, sizeof buffer)) > 0)
    out.append(buffer, static_cast<std::size_t>(n));
  close(ends[0]);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  return out;
}

std::string name_of(std::string_view line) {
  if (line.substr(0, 5) == "<... ") line.remove_prefix(5);
  std::size_t end = 0;
  while (end < line.size() &&
         (std::isalnum(static_cast<unsigned char>(line[end])) ||
          line[end] == '_' || line[end] == '+'))
    ++end;
  return std::string(line.substr(0, end));
}

void place_lines(std::vector<std::vector<Site>> &heads,
                 const std::string &program);

// Per process, in order, each call of the raw report with its source line.
std::vector<std::vector<Site>> call_sites(const std::string &raw,
                                          const std::string &program) {
  std::uint64_t start = 0, size = 0;
  const bool has_main = main_symbol(program, start, size);
  std::vector<std::vector<Site>> heads;
  std::map<long, std::size_t> index;
  std::optional<std::pair<std::size_t, std::size_t>>
      last;  // the call just shown
  std::istringstream lines(raw);
  for (std::string text; std::getline(lines, text);) {
    std::string_view line = text;
    if (line.substr(0, 3) == " > ") {  // a frame of the call just shown
      const std::size_t at = line.find("(main+0x");
      const std::size_t open =
          line.find(" [0x", at == std::string_view::npos ? line.size() : at);
      Site *site = last ? &heads[last->first][last->second] : nullptr;
      if (at != std::string_view::npos && open != std::string_view::npos &&
          site && !site->address)
        site->address = std::strtoull(
            std::string(line.substr(open + 4)).c_str(), nullptr, 16);
      continue;
    }
    long pid = -1;
    pid_prefix(line, pid);
    std::optional<std::uint64_t> address;
    if (line.substr(0, 1) == "[") {  // ltrace -i: [0x55d0c1a2b1c4] call
      const std::size_t close = line.find("] ");
      if (close != std::string_view::npos) {
        const std::uint64_t value = std::strtoull(
            std::string(line.substr(1, close - 1)).c_str(), nullptr, 16);
        line.remove_prefix(close + 2);
        // A load address is page-aligned, so its low bits place it in main.
        for (std::uint64_t a = start; has_main && a <= start + size; ++a) {
          if ((a & 0xfff) == (value & 0xfff)) {
            address = a;
            break;
          }
        }
      }
    }
    const auto found = index.emplace(pid, heads.size()).first;
    if (found->second == heads.size()) heads.emplace_back();
    std::vector<Site> &calls = heads[found->second];
    if (line.substr(0, 5) == "<... " &&
        line.find(" resumed>") != std::string_view::npos && !calls.empty() &&
        calls.back().cut) {
      calls.back().cut = false;  // the second half of a call already counted
      last = {found->second, calls.size() - 1};
      continue;
    }
    const bool cut = line.find("<unfinished ...>") != std::string_view::npos ||
                     line.find("<no return ...>") != std::string_view::npos;
    calls.push_back({name_of(line).empty() ? std::string(line) : name_of(line),
                     address, cut, ""});
    if (line.substr(0, 3) != "+++" &&
        line.substr(0, 3) != "---")  // exit_group's frames follow +++
      last = {found->second, calls.size() - 1};
  }
  place_lines(heads, program);
  return heads;
}

// Each site's source line, as addr2line reads it from the program's debug
// information.
void place_lines(std::vector<std::vector<Site>> &heads,
                 const std::string &program) {
  std::vector<std::string> words = {"addr2line", "-e", program};
  std::vector<Site *> placed;
  for (auto &calls : heads) {
    for (Site &site : calls) {
      if (!site.address) continue;
      char hex[32];
      std::snprintf(hex, sizeof hex, "%llx",
                    static_cast<unsigned long long>(*site.address - 1));
      words.push_back(hex);
      placed.push_back(&site);
    }
  }
  if (placed.empty()) return;
  const auto out = output_of(words);
  if (!out) throw Failure("addr2line is not installed or not on the PATH");
  std::istringstream found(*out);
  std::string where;
  for (Site *site : placed) {
    if (!std::getline(found, where)) break;
    const std::size_t space = where.find(' ');  // file:line (discriminator N)
    if (space != std::string::npos) where.resize(space);
    site->line = where.substr(where.rfind('/') + 1);
  }
}

}  // namespace

int show(const Situation &situation, const std::string &observer) {
  const std::string program = program_path(situation.program);
  // Any other built-in is shown the reference of its view, system calls or
  // library calls, with the source lines that strace -k or ltrace -i give:
  // it names no call site itself.
  const BuiltIn *known = built_in(observer);
  const std::string label =
      !known || decoding_of(known->format).system_calls ? "strace" : "ltrace";
  if (label != observer)
    std::printf(
        "(%s names no call site: its reference is %s's view, with "
        "the source lines %s gives)\n",
        observer.c_str(), label.c_str(), label.c_str());
  const std::string command =
      label == "strace" ? "strace -q -f -k -s 4096 -o {report} --"
                        : "ltrace -F /usr/share/ltrace/libc.so.conf -F "
                          "/etc/ltrace.conf -f -i -s 4096 -o {report} --";
  std::vector<std::string> words;
  std::string why;
  split_words(command, words, why);
  if (find_command(label).empty()) {
    std::printf("%s is not installed or not on the PATH\n", label.c_str());
    return 1;
  }
  std::vector<std::vector<Site>> sites;
  try {
    become_reaper();
    const Seen seen =
        run(words, program, situation.arguments(), situation, kTimeout);
    sites = call_sites(seen.report, program);
  } catch (const Failure &failure) {
    std::cerr << "(no source lines: " << printable(failure.what()) << ")\n";
  }
  const std::vector<std::string> variants = variants_of(program);
  std::printf("%s: %s, status %d; %s\n", situation.name.c_str(),
              situation.program.c_str(), situation.status,
              situation.describe().c_str());
  const char *suffixes[] = {".", ".child."};
  for (std::size_t i = 0; i < 2; ++i) {
    const auto text = reference_file(situation, suffixes[i] + label, variants);
    if (!text) continue;
    std::printf("--- %s, as %s reports it ---\n",
                i == 0 ? "the process" : "its child", label.c_str());
    std::vector<Site> where = i < sites.size() ? sites[i] : std::vector<Site>();
    std::size_t from = 0;
    std::istringstream calls(*text);
    for (std::string call; std::getline(calls, call);) {
      const std::string called = name_of(call);
      std::string line;
      for (std::size_t k = from; k < where.size(); ++k) {
        if (!called.empty() &&
            where[k].name ==
                called) {  // each call of the run stands beside one line
          line = where[k].line;
          from = k + 1;
          break;
        }
      }
      std::printf("%-17s %s\n", line.c_str(), call.c_str());
    }
  }
  std::printf(
      "--- standard output ---\n%s\n",
      quote(reference_file(situation, ".out", variants).value_or("")).c_str());
  return 0;
}

}  // namespace probes
