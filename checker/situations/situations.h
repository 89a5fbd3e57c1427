// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// The situations table (reference/situations) and the reference files
// beside it, and where the programs and references are.
#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace probes {

// A situation's settings in the order the table gives them.
using Settings = std::vector<std::pair<std::string, std::string>>;

struct Situation {
  std::string name;
  std::string program;
  int status = 0;
  Settings settings;
  bool has(const std::string &key) const;
  std::string get(const std::string &key,
                  const std::string &otherwise = "") const;
  std::vector<std::string> arguments() const;
  bool other_user() const {
    return has("user") || has("nproc");
  }
  std::string describe() const;
};

// Where this command finds what it runs and holds reports against: the
// build folder's programs and the source tree, or the installed tree.
struct Places {
  std::string programs;   // the probes and empty-main
  std::string commands;   // claimfile: beside this command
  std::string reference;  // the situations table and the references
  std::string sources;    // probe5.cpp
};
const Places &places();

// The table, in its order; throws std::runtime_error with one line.
std::vector<Situation> read_situations();

// The path of a program named in the table.
std::string program_path(const std::string &program);

// A reference file of the situation (SUFFIX: .strace, .child.ltrace, .out,
// .dir): its own, else that of the situation it is like; for each, those in
// the folders VARIANTS (i386/, musl/) first, in their order.
std::optional<std::string> reference_file(
    const Situation &situation, const std::string &suffix,
    const std::vector<std::string> &variants);

// Reads a whole file, at most LIMIT bytes; nullopt if it cannot be opened.
std::optional<std::string> read_file(const std::string &path,
                                     std::size_t limit = 1 << 20);

}  // namespace probes
