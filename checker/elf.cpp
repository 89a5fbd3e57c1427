// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
#include "elf.h"

#include <elf.h>

#include <cstring>
#include <optional>
#include <string_view>

#include "situations.h"

namespace probes {
namespace {

// The file, if it is a 64-bit ELF file; its every offset is checked before use.
std::optional<std::string> elf_file(const std::string &program) {
  auto data = read_file(program, 64 << 20);
  if (!data || data->size() < sizeof(Elf64_Ehdr) ||
      data->compare(0, 4, ELFMAG) != 0 || (*data)[EI_CLASS] != ELFCLASS64)
    return std::nullopt;
  return data;
}

template <typename T>
bool at(const std::string &data, std::uint64_t offset, T &out) {
  if (offset > data.size() || data.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, data.data() + offset, sizeof(T));
  return true;
}

// Each section header, with its name, until FN returns true.
template <typename Fn>
void sections(const std::string &data, Fn fn) {
  Elf64_Ehdr header;
  Elf64_Shdr names;
  if (!at(data, 0, header) || header.e_shentsize != sizeof(Elf64_Shdr) ||
      !at(data,
          header.e_shoff +
              std::uint64_t{header.e_shstrndx} * sizeof(Elf64_Shdr),
          names))
    return;
  for (std::uint64_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr section;
    if (!at(data, header.e_shoff + i * sizeof(Elf64_Shdr), section)) return;
    const std::uint64_t name = names.sh_offset + section.sh_name;
    if (name >= data.size()) continue;
    if (fn(section, std::string_view(data.c_str() + name))) return;
  }
}

std::string_view contents(const std::string &data, const Elf64_Shdr &section) {
  if (section.sh_type == SHT_NOBITS || section.sh_offset > data.size() ||
      data.size() - section.sh_offset < section.sh_size)
    return {};
  return std::string_view(data).substr(section.sh_offset, section.sh_size);
}

}  // namespace

std::string libc_of(const std::string &program) {
  const auto data = elf_file(program);
  Elf64_Ehdr header;
  if (!data || !at(*data, 0, header) ||
      header.e_phentsize != sizeof(Elf64_Phdr))
    return "";
  for (std::uint64_t i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr segment;
    if (!at(*data, header.e_phoff + i * sizeof(Elf64_Phdr), segment)) return "";
    if (segment.p_type != PT_INTERP || segment.p_offset > data->size())
      continue;
    const std::string_view loader =
        std::string_view(*data).substr(segment.p_offset, segment.p_filesz);
    return loader.find("ld-musl") != std::string_view::npos ? "musl" : "";
  }
  return "";
}

bool plt_free(const std::string &program) {
  const auto data = elf_file(program);
  bool found = false;
  if (data) {
    sections(*data, [&](const Elf64_Shdr &section, std::string_view name) {
      found =
          name.substr(0, 6) == ".debug" &&
          contents(*data, section).find("-fno-plt") != std::string_view::npos;
      return found;
    });
  }
  return found;
}

bool main_symbol(const std::string &program, std::uint64_t &start,
                 std::uint64_t &size) {
  const auto data = elf_file(program);
  if (!data) return false;
  bool found = false;
  Elf64_Ehdr header;
  at(*data, 0, header);
  sections(*data, [&](const Elf64_Shdr &table, std::string_view) {
    Elf64_Shdr strings;
    if (table.sh_type != SHT_SYMTAB ||
        !at(*data,
            header.e_shoff + std::uint64_t{table.sh_link} * sizeof(Elf64_Shdr),
            strings))
      return false;
    const std::string_view symbols = contents(*data, table),
                           names = contents(*data, strings);
    for (std::size_t i = 0; i + sizeof(Elf64_Sym) <= symbols.size();
         i += sizeof(Elf64_Sym)) {
      Elf64_Sym symbol;
      std::memcpy(&symbol, symbols.data() + i, sizeof symbol);
      if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC ||
          symbol.st_name >= names.size())
        continue;
      if (std::string_view(names.data() + symbol.st_name) == "main") {
        start = symbol.st_value;
        size = symbol.st_size;
        return found = true;
      }
    }
    return false;
  });
  return found;
}

}  // namespace probes
