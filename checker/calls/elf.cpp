// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
#include "calls/elf.h"

#include <elf.h>

#include <cstring>
#include <optional>
#include <string_view>

#include "calls/calls.h"
#include "situations/situations.h"

namespace probes {
namespace {

// The structures of each ELF class: x86-64's programs are ELFCLASS64, i386's
// ELFCLASS32; both are read by the same code below.
struct Elf64 {
  using Ehdr = Elf64_Ehdr;
  using Phdr = Elf64_Phdr;
  using Shdr = Elf64_Shdr;
  using Sym = Elf64_Sym;
};
struct Elf32 {
  using Ehdr = Elf32_Ehdr;
  using Phdr = Elf32_Phdr;
  using Shdr = Elf32_Shdr;
  using Sym = Elf32_Sym;
};

// The file, if it is an ELF file; its every offset is checked before use.
std::optional<std::string> elf_file(const std::string &program) {
  auto data = read_file(program, 64 << 20);
  if (!data || data->size() < sizeof(Elf64_Ehdr) ||
      data->compare(0, 4, ELFMAG) != 0)
    return std::nullopt;
  return data;
}

template <typename T>
bool at(const std::string &data, std::uint64_t offset, T &out) {
  if (offset > data.size() || data.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, data.data() + offset, sizeof(T));
  return true;
}

// FN's answer for the file's own class; FALLBACK for a file of neither.
template <typename R, typename Fn>
R by_class(const std::string &data, R fallback, Fn fn) {
  if (data[EI_CLASS] == ELFCLASS64) return fn(Elf64{});
  if (data[EI_CLASS] == ELFCLASS32) return fn(Elf32{});
  return fallback;
}

// Each section header, with its name, until FN returns true.
template <typename E, typename Fn>
void sections(const std::string &data, Fn fn) {
  typename E::Ehdr header;
  typename E::Shdr names;
  if (!at(data, 0, header) || header.e_shentsize != sizeof(typename E::Shdr) ||
      !at(data,
          header.e_shoff +
              std::uint64_t{header.e_shstrndx} * sizeof(typename E::Shdr),
          names))
    return;
  for (std::uint64_t i = 0; i < header.e_shnum; ++i) {
    typename E::Shdr section;
    if (!at(data, header.e_shoff + i * sizeof(typename E::Shdr), section))
      return;
    const std::uint64_t name = std::uint64_t{names.sh_offset} + section.sh_name;
    if (name >= data.size()) continue;
    if (fn(section, std::string_view(data.c_str() + name))) return;
  }
}

template <typename Shdr>
std::string_view contents(const std::string &data, const Shdr &section) {
  if (section.sh_type == SHT_NOBITS || section.sh_offset > data.size() ||
      data.size() - section.sh_offset < section.sh_size)
    return {};
  return std::string_view(data).substr(section.sh_offset, section.sh_size);
}

template <typename E>
std::string loader_of(const std::string &data) {
  typename E::Ehdr header;
  if (!at(data, 0, header) || header.e_phentsize != sizeof(typename E::Phdr))
    return "";
  for (std::uint64_t i = 0; i < header.e_phnum; ++i) {
    typename E::Phdr segment;
    if (!at(data, header.e_phoff + i * sizeof(typename E::Phdr), segment))
      return "";
    if (segment.p_type != PT_INTERP || segment.p_offset > data.size()) continue;
    return std::string(
        std::string_view(data).substr(segment.p_offset, segment.p_filesz));
  }
  return "";
}

template <typename E>
bool main_of(const std::string &data, std::uint64_t &start,
             std::uint64_t &size) {
  bool found = false;
  typename E::Ehdr header;
  at(data, 0, header);
  sections<E>(data, [&](const typename E::Shdr &table, std::string_view) {
    typename E::Shdr strings;
    if (table.sh_type != SHT_SYMTAB ||
        !at(data,
            header.e_shoff +
                std::uint64_t{table.sh_link} * sizeof(typename E::Shdr),
            strings))
      return false;
    const std::string_view symbols = contents(data, table),
                           names = contents(data, strings);
    for (std::size_t i = 0; i + sizeof(typename E::Sym) <= symbols.size();
         i += sizeof(typename E::Sym)) {
      typename E::Sym symbol;
      std::memcpy(&symbol, symbols.data() + i, sizeof symbol);
      if ((symbol.st_info & 0xf) != STT_FUNC || symbol.st_name >= names.size())
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

}  // namespace

std::string libc_of(const std::string &program) {
  const auto data = elf_file(program);
  if (!data) return "";
  const std::string loader = by_class(*data, std::string(), [&](auto elf) {
    return loader_of<decltype(elf)>(*data);
  });
  return loader.find("ld-musl") != std::string::npos ? "musl" : "";
}

Abi abi_of(const std::string &program) {
  const auto data = elf_file(program);
  Elf32_Ehdr header;
  if (!data || !at(*data, 0, header)) return Abi::kX86_64;
  if (header.e_ident[EI_CLASS] == ELFCLASS32)
    return header.e_machine == EM_386 ? Abi::kI386 : Abi::kX86_64;
  if (header.e_machine == EM_AARCH64) return Abi::kAarch64;
  return header.e_machine == EM_RISCV ? Abi::kRiscv64 : Abi::kX86_64;
}

std::vector<std::string> variants_of(const std::string &program) {
  std::vector<std::string> folders;
  const Abi abi = abi_of(program);
  const std::string own = abi == Abi::kX86_64 ? "" : abi_name(abi);
  for (const std::string &variant : {own, libc_of(program)})
    if (!variant.empty()) folders.push_back(variant);
  return folders;
}

bool plt_free(const std::string &program) {
  const auto data = elf_file(program);
  if (!data) return false;
  return by_class(*data, false, [&](auto elf) {
    bool found = false;
    sections<decltype(elf)>(
        *data, [&](const auto &section, std::string_view name) {
          found = name.substr(0, 6) == ".debug" &&
                  contents(*data, section).find("-fno-plt") !=
                      std::string_view::npos;
          return found;
        });
    return found;
  });
}

bool main_symbol(const std::string &program, std::uint64_t &start,
                 std::uint64_t &size) {
  const auto data = elf_file(program);
  if (!data) return false;
  return by_class(*data, false, [&](auto elf) {
    return main_of<decltype(elf)>(*data, start, size);
  });
}

}  // namespace probes
