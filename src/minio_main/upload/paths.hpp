// The host's path facilities, done here when they are the host's own.
//
// The directory walk and the file test call os.path.isdir, os.path.isfile
// and os.path.join for every entry. When the function found in the module
// namespace at call time is the host's own POSIX one (and, for the tests,
// os.stat is too), the same answer is computed here without a trip through
// the interpreter; a substituted function (a test's, a host's) is called.
#pragma once

#include <nanobind/nanobind.h>
#include <sys/stat.h>

#include "upload/calls.hpp"

namespace zarnel::upload {

namespace nb = nanobind;

// isdir(path) / isfile(path) with the looked-up function `test`. `stated`
// tells whether `status` holds the stat() that gave the answer.
bool is_dir(const Names& names, nb::handle test, nb::handle path,
            struct stat& status, bool& stated);
bool is_file(const Names& names, nb::handle test, nb::handle path);

// join(a, b) with the looked-up function `join`.
nb::object join_with(const Names& names, nb::handle join, nb::handle a,
                     nb::handle b);

// stat() of `path`, symbolic links followed, for any path-like value; false
// when the file system cannot say.
bool stat_any(nb::handle path, struct stat& status);

}  // namespace zarnel::upload
