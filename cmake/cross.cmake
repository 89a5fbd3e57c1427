# SPDX-FileCopyrightText: 2026 The syscall-probes authors
# SPDX-License-Identifier: MIT
#
# Builds the programs for another processor, aarch64 or riscv64
# (SYSCALL_PROBES_ABI), with Debian's cross compilers, g++-aarch64-linux-gnu
# and g++-riscv64-linux-gnu. The cross gcc is the C compiler: CMakeLists.txt
# has it compile the programs' C++ sources (-x c++) and link them as C, which
# leaves libstdc++ out, as the programs need none of it. The checker stays
# the machine's, built by its own C++ compiler; the one that runs beside the
# programs in tools/vm's machine is built by the same cross compilers into
# guest/ (SYSCALL_PROBES_GUEST: both compilers cross).
set(CMAKE_SYSTEM_NAME Linux)
# CMake's trial builds read this file again, and need the same answers.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SYSCALL_PROBES_ABI SYSCALL_PROBES_GUEST)
set(CMAKE_SYSTEM_PROCESSOR ${SYSCALL_PROBES_ABI})
if(SYSCALL_PROBES_ABI STREQUAL "aarch64" OR SYSCALL_PROBES_ABI STREQUAL "riscv64")
  set(triple ${SYSCALL_PROBES_ABI}-linux-gnu)
else()
  message(FATAL_ERROR "cmake/cross.cmake builds for aarch64 or riscv64, "
                      "not '${SYSCALL_PROBES_ABI}'")
endif()
find_program(cross_gcc ${triple}-gcc)
find_program(cross_gxx ${triple}-g++)
if(NOT cross_gcc OR NOT cross_gxx)
  message(FATAL_ERROR "The ${SYSCALL_PROBES_ABI} build needs Debian's g++-${triple}: "
                      "sh tools/setup ${SYSCALL_PROBES_ABI} installs it.")
endif()
set(CMAKE_C_COMPILER ${cross_gcc})
set(SYSCALL_PROBES_PROGRAMS_AS_C ON)
if(SYSCALL_PROBES_GUEST)
  set(CMAKE_CXX_COMPILER ${cross_gxx})
elseif(DEFINED ENV{CXX})
  set(CMAKE_CXX_COMPILER $ENV{CXX})
else()
  # Named, or CMake would take the C compiler's prefix and find the cross g++.
  set(CMAKE_CXX_COMPILER g++)
endif()
