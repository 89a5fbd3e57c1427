// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
#include "calls/values.h"

#include <cstdlib>
#include <utility>

namespace probes {
namespace {

// The flags, modes and constants of open, openat, umask, clone, read, write,
// close and exit_group on x86-64 Linux, the calls from main on.
const std::pair<const char *, long long> kNames[] = {
    {"AT_FDCWD", -100},
    {"CWD", -100},
    {"NULL", 0},
    {"nil", 0},
    {"O_RDONLY", 0},
    {"O_WRONLY", 01},
    {"O_RDWR", 02},
    {"O_CREAT", 0100},
    {"O_EXCL", 0200},
    {"O_NOCTTY", 0400},
    {"O_TRUNC", 01000},
    {"O_APPEND", 02000},
    {"O_NONBLOCK", 04000},
    {"O_LARGEFILE", 0100000},
    {"O_DIRECTORY", 0200000},
    {"O_NOFOLLOW", 0400000},
    {"O_CLOEXEC", 02000000},
    {"S_IRWXU", 0700},
    {"S_IRUSR", 0400},
    {"S_IWUSR", 0200},
    {"S_IXUSR", 0100},
    {"S_IRWXG", 070},
    {"S_IRGRP", 040},
    {"S_IWGRP", 020},
    {"S_IXGRP", 010},
    {"S_IRWXO", 07},
    {"S_IROTH", 04},
    {"S_IWOTH", 02},
    {"S_IXOTH", 01},
    {"S_IRUGO", 0444},
    {"S_IWUGO", 0222},
    {"S_IXUGO", 0111},
    {"S_IRWXUGO", 0777},
    {"CLONE_VM", 0x100},
    {"CLONE_FS", 0x200},
    {"CLONE_FILES", 0x400},
    {"CLONE_SIGHAND", 0x800},
    {"CLONE_VFORK", 0x4000},
    {"CLONE_PARENT", 0x8000},
    {"CLONE_THREAD", 0x10000},
    {"CLONE_SETTLS", 0x80000},
    {"CLONE_PARENT_SETTID", 0x100000},
    {"CLONE_CHILD_CLEARTID", 0x200000},
    {"CLONE_CHILD_SETTID", 0x1000000},
    {"SIGCHLD", 17},
};

const char *const kErrors[] = {
    "",        "EPERM",        "ENOENT", "ESRCH",   "EINTR",
    "EIO",     "ENXIO",        "E2BIG",  "ENOEXEC", "EBADF",
    "ECHILD",  "EAGAIN",       "ENOMEM", "EACCES",  "EFAULT",
    "ENOTBLK", "EBUSY",        "EEXIST", "EXDEV",   "ENODEV",
    "ENOTDIR", "EISDIR",       "EINVAL", "ENFILE",  "EMFILE",
    "ENOTTY",  "ETXTBSY",      "EFBIG",  "ENOSPC",  "ESPIPE",
    "EROFS",   "EMLINK",       "EPIPE",  "EDOM",    "ERANGE",
    "EDEADLK", "ENAMETOOLONG", "ENOLCK", "ENOSYS",  "ENOTEMPTY",
    "ELOOP"};

std::optional<long long> one_value(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const std::string word(text);
  char *end = nullptr;
  // 64 bits as the registers hold them: 0xffffffffffffff9c is -100.
  const long long number =
      word[0] == '-'
          ? std::strtoll(word.c_str(), &end, 0)
          : static_cast<long long>(std::strtoull(word.c_str(), &end, 0));
  if (end && *end == '\0' &&
      (word[0] == '-' || (word[0] >= '0' && word[0] <= '9')))
    return number;
  for (const auto &[name, value] : kNames) {
    const std::string_view known = name;
    const std::size_t prefix = known.find('_');
    if (text == known || (prefix != std::string_view::npos && prefix < 6 &&
                          known.substr(prefix + 1) == text))
      return value;
  }
  return std::nullopt;
}

}  // namespace

std::optional<long long> value_of(std::string_view text) {
  long long value = 0;
  bool any = false;
  while (!text.empty()) {
    const std::size_t bar = text.find('|');
    const auto part = one_value(text.substr(0, bar));
    if (!part) return std::nullopt;
    value |= *part;
    any = true;
    text = bar == std::string_view::npos ? std::string_view()
                                         : text.substr(bar + 1);
  }
  return any ? std::optional<long long>(value) : std::nullopt;
}

std::string errno_name(long long number) {
  const auto count = static_cast<long long>(sizeof kErrors / sizeof kErrors[0]);
  return number > 0 && number < count ? kErrors[number] : "";
}

std::optional<long long> errno_number(std::string_view name) {
  for (std::size_t i = 1; i < sizeof kErrors / sizeof kErrors[0]; ++i)
    if (name == kErrors[i]) return static_cast<long long>(i);
  return std::nullopt;
}

}  // namespace probes
