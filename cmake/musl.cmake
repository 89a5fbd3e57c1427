# SPDX-FileCopyrightText: 2026 The syscall-probes authors
# SPDX-License-Identifier: MIT
#
# Builds the programs against musl instead of glibc, with Debian's musl-tools
# and musl-dev; the checker stays the machine's, built by its own C++
# compiler. musl-gcc, the system's gcc set up for musl's headers, start files
# and dynamic linker, is the C compiler here: CMakeLists.txt has it compile
# the programs' C++ sources (-x c++) and link them as C, which leaves
# libstdc++ out. The sources include <cerrno>, <cstdio> and <cstdlib>,
# libstdc++'s thin wrappers around the C headers, so its header folders are
# added; its configuration header asks __GLIBC_PREREQ, which only glibc
# defines, and 0 answers "not glibc".
set(CMAKE_SYSTEM_NAME Linux)
set(SYSCALL_PROBES_LIBC musl)  # which tests/cases lines hold: see CMakeLists.txt
find_program(musl_gcc musl-gcc)
if(NOT musl_gcc)
  message(FATAL_ERROR "The musl build needs Debian's musl-tools and musl-dev: "
                      "musl-gcc is missing.")
endif()
set(CMAKE_C_COMPILER ${musl_gcc})
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE gxx_version
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(SYSCALL_PROBES_PROGRAMS_AS_C ON)
set(SYSCALL_PROBES_CXX_FLAGS -isystem /usr/include/c++/${gxx_version}
  -isystem /usr/include/x86_64-linux-gnu/c++/${gxx_version} "-D__GLIBC_PREREQ(a,b)=0")
