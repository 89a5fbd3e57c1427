// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
#include "situations/situations.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

namespace probes {
namespace {

const std::set<std::string> kSettings = {"umask",  "pre",    "cwd",  "args",
                                         "stdout", "fd1000", "user", "nproc",
                                         "rofs",   "expect"};
const std::map<std::string, std::set<std::string>> kChoices = {
    {"pre", {"file", "dir", "link"}},
    {"cwd", {"source"}},
    {"stdout", {"pipe", "pty", "closed"}}};

}  // namespace

bool Situation::has(const std::string &key) const {
  for (const auto &setting : settings)
    if (setting.first == key) return true;
  return false;
}

std::string Situation::get(const std::string &key,
                           const std::string &otherwise) const {
  for (const auto &setting : settings)
    if (setting.first == key) return setting.second;
  return otherwise;
}

std::vector<std::string> Situation::arguments() const {
  std::vector<std::string> out;
  if (!has("args")) return out;
  std::stringstream words(get("args"));
  std::string word;
  while (std::getline(words, word, ',')) out.push_back(word);
  return out;
}

std::string Situation::describe() const {
  static const std::map<std::string, std::string> kWords = {
      {"link", "dangling symbolic link"},
      {"dir", "folder"},
      {"file", "regular file"},
      {"pipe", "a pipe"},
      {"pty", "a terminal"},
      {"closed", "closed"}};
  std::string said;
  for (const auto &[key, raw] : settings) {
    std::string value = raw;
    if (kWords.count(value)) value = kWords.at(value);
    for (char &c : value)
      if (c == ',') c = ' ';
    std::string part;
    if (key == "umask")
      part = "umask " + value;
    else if (key == "pre")
      part = "my_file is there already: a " + value;
    else if (key == "cwd")
      part = "run in the folder of probe5's source";
    else if (key == "args")
      part = "arguments " + value;
    else if (key == "stdout")
      part = "standard output " + value;
    else if (key == "fd1000")
      part = "descriptor 1000 open";
    else if (key == "user")
      part = "as user " + value;
    else if (key == "nproc")
      part = "as a user of its own, with at most " + value + " processes";
    else if (key == "rofs")
      part = "a read-only folder";
    else
      continue;
    said += (said.empty() ? "" : "; ") + part;
  }
  return said.empty() ? "an empty folder, standard output a file" : said;
}

std::optional<std::string> read_file(const std::string &path,
                                     std::size_t limit) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string data;
  char buffer[65536];
  ssize_t n;
  while (data.size() <= limit && (n = read(fd, buffer, sizeof buffer)) > 0)
    data.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return data;
}

std::vector<Situation> read_situations() {
  const std::string path = places().reference + "/situations";
  const auto text = read_file(path);
  if (!text) throw std::runtime_error(path + ": cannot be read");
  std::vector<Situation> table;
  std::stringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    std::stringstream words(line);
    Situation situation;
    std::string status;
    if (!(words >> situation.name) || situation.name[0] == '#') continue;
    if (!(words >> situation.program >> status))
      throw std::runtime_error("a line without a program and status in " +
                               path);
    situation.status =
        static_cast<int>(std::strtol(status.c_str(), nullptr, 10));
    std::set<std::string> wrong;
    for (std::string word; words >> word;) {
      const std::size_t eq = word.find('=');
      std::string key = word.substr(0, eq),
                  value = eq == std::string::npos ? "" : word.substr(eq + 1);
      if (!kSettings.count(key) ||
          (kChoices.count(key) && !kChoices.at(key).count(value)))
        wrong.insert(kSettings.count(key) ? word : key);
      situation.settings.emplace_back(key, value);
    }
    if (!wrong.empty()) {
      std::string listed;
      for (const std::string &w : wrong)
        listed += (listed.empty() ? "" : ", ") + w;
      throw std::runtime_error("unknown setting " + listed + " in " + path);
    }
    table.push_back(std::move(situation));
  }
  return table;
}

std::string program_path(const std::string &program) {
  const std::string probe = places().programs + "/" + program;
  return access(probe.c_str(), F_OK) == 0 ? probe
                                          : places().commands + "/" + program;
}

std::optional<std::string> reference_file(
    const Situation &situation, const std::string &suffix,
    const std::vector<std::string> &variants) {
  for (const std::string &like :
       {situation.name, situation.get("expect", situation.name)}) {
    std::vector<std::string> folders;
    for (const std::string &variant : variants)
      folders.push_back(places().reference + "/" + variant);
    folders.push_back(places().reference);
    for (const std::string &folder : folders) {
      if (auto text = read_file(folder + "/" + like + suffix)) return text;
    }
  }
  return std::nullopt;
}

}  // namespace probes
