// The one place that knows the names of the SDK and the support modules.
#pragma once

#include <nanobind/nanobind.h>

namespace zarnel::external {

namespace nb = nanobind;

// Makes the load-time imports and binds them in the module namespace, in this
// order: io, os, timedelta, minio, DeleteObject, S3Error, ZarnelLog, ZarnelSSH,
// ZarnelVar, get_content_type, Transfers, renew_after_fork. A failed import
// fails the module load.
void import_into(nb::module_& m);

// The operations look these names up when they run, through Namespace
// (external/calls.hpp), so a host or a test can substitute them
// (monkeypatch.setattr(minio_main, ...)).

}  // namespace zarnel::external
