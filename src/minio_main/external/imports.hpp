// The one place that knows the names of the SDK and the support modules.
#pragma once

#include <nanobind/nanobind.h>

namespace zarnel::external {

namespace nb = nanobind;

// Makes the load-time imports and binds them in the module namespace, in this
// order: io, os, timedelta, minio, DeleteObject, S3Error, ZarnelLog, ZarnelSSH,
// ZarnelVar, get_content_type, Transfers, renew_after_fork, sync_up,
// sync_down; then loads the message table. A failed import fails the module
// load.
void import_into(nb::module_& m);

// A name of the module namespace, looked up when an operation runs, so that a
// host or a test can substitute it (monkeypatch.setattr(minio_main, ...)).
nb::object imported(const char* name);

// A name of one of the package's support modules (zarnel.<module>), imported
// when first needed: for the rare paths that need one outside the module
// namespace.
nb::object support(const char* module, const char* name);

// A text of the message table (zarnel/messages.py), looked up when an
// operation runs. The table is not bound in the module namespace, which holds
// the operations' own names (the generated stubs list them).
nb::object message(const char* name);

// self._log.warning() of a text of the message table, filled in with `value`
// (str.format) when one is given.
void warn(nb::handle self, const char* name, nb::handle value = nb::handle());

// A tree operation's local path as text: bytes and os.PathLike values through
// `os`.fsdecode, so they name the place that the os functions would; anything
// else as it is (it fails where the operation uses it).
nb::object path_text(nb::handle path);

}  // namespace zarnel::external
