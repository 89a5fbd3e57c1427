// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// Where the programs and references are. The build folder's syscall-probes
// is compiled with SYSCALL_PROBES_SOURCE_DIR: this build's programs beside
// it, the source tree's references. The installed one finds them by its own
// place: bin/ beside libexec/ and share/.
#include <unistd.h>

#include <climits>

#include "situations/situations.h"

namespace probes {

const Places &places() {
  static const Places where = [] {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    const std::string self =
        n > 0 ? std::string(path, static_cast<std::size_t>(n)) : ".";
    const std::string here = self.substr(0, self.rfind('/'));
#ifdef SYSCALL_PROBES_SOURCE_DIR
    return Places{here, here, SYSCALL_PROBES_SOURCE_DIR "/reference",
                  SYSCALL_PROBES_SOURCE_DIR "/probes"};
#else
    return Places{here + "/../libexec/syscall-probes", here,
                  here + "/../share/syscall-probes/reference",
                  here + "/../share/syscall-probes"};
#endif
  }();
  return where;
}

}  // namespace probes
