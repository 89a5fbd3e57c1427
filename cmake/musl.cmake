# SPDX-FileCopyrightText: 2026 The syscall-probes authors
# SPDX-License-Identifier: MIT
#
# Builds the programs against musl instead of glibc, with Debian's musl-tools
# and musl-dev: musl's headers, start files and dynamic linker come from the
# specs file that musl-gcc uses, given to gcc and g++ alike. The C++ sources include <cerrno>,
# <cstdio> and <cstdlib>, which are libstdc++'s thin wrappers around the C
# headers, so its header folders are added; its configuration header asks
# __GLIBC_PREREQ, which only glibc defines, and 0 answers "not glibc".
# Nothing of libstdc++ is linked: -Wl,--as-needed leaves libc.so alone.
set(CMAKE_SYSTEM_NAME Linux)
set(SYSCALL_PROBES_LIBC musl)  # which tests/cases lines hold: see CMakeLists.txt
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(musl_specs /usr/lib/x86_64-linux-musl/musl-gcc.specs)
if(NOT EXISTS ${musl_specs})
  message(FATAL_ERROR "The musl build needs Debian's musl-tools and musl-dev: ${musl_specs} "
                      "is missing.")
endif()
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE gxx_version
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(CMAKE_C_FLAGS_INIT "-specs=${musl_specs}")
set(CMAKE_CXX_FLAGS_INIT "-specs=${musl_specs} -isystem /usr/include/c++/${gxx_version} \
-isystem /usr/include/x86_64-linux-gnu/c++/${gxx_version} '-D__GLIBC_PREREQ(a,b)=0'")
