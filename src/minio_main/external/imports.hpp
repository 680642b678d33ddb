// The one place that knows the names of the SDK and the support modules.
#pragma once

#include <nanobind/nanobind.h>

namespace zarnel::external {

namespace nb = nanobind;

// Makes the load-time imports and binds them in the module namespace, in this
// order: io, os, timedelta, minio, DeleteObject, S3Error, ZarnelLog, ZarnelSSH,
// ZarnelVar, get_content_type. A failed import fails the module load.
void import_into(nb::module_& m);

// A name of the module namespace, looked up when an operation runs, so that a
// host or a test can substitute it (monkeypatch.setattr(minio_main, ...)).
nb::object imported(const char* name);

}  // namespace zarnel::external
