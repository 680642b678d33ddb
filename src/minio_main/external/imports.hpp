// The one place that knows the names of the SDK and the support modules.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace zarnel::external {

namespace nb = nanobind;

// Makes the load-time imports and binds them in the module namespace, in this
// order: io, os, timedelta, minio, DeleteObject, S3Error, ZarnelLog, ZarnelSSH,
// ZarnelVar, get_content_type, Transfers, renew_after_fork; and loads the
// message table. A failed import fails the module load.
void import_into(nb::module_& m);

// The module itself, found in sys.modules when an operation runs (a module
// that is no longer loaded is an ImportError).
nb::object module_namespace();

// A name of the module namespace, looked up when an operation runs, so that a
// host or a test can substitute it (monkeypatch.setattr(minio_main, ...)).
template <std::size_t N>
nb::object imported(const char (&name)[N]) {
  return module_namespace().attr(name);
}

// The message table (zarnel/messages.py), a sibling of this module. It is
// not bound in the module namespace, whose names are the operations' own
// (and the generated stubs list them).
nb::object messages();

// A text of the message table, looked up when an operation runs.
template <std::size_t N>
nb::object message(const char (&name)[N]) {
  return messages().attr(name);
}

// A tree operation's local path as text: bytes and os.PathLike values through
// `os`.fsdecode, so they name the place that the os functions would; anything
// else as it is (it fails where the operation uses it).
nb::object path_text(nb::handle path);

}  // namespace zarnel::external
