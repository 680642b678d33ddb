// How the upload operations reach the host: the names they look up and the
// calls they make, on every request.
#pragma once

#include <nanobind/nanobind.h>

#include "external/calls.hpp"

namespace zarnel::upload {

namespace nb = nanobind;

// Text objects that the operations hand to the host on every call, made once
// when the operations are bound and owned by the bound functions (so none
// outlives the interpreter). They are interned, so attribute lookups hit the
// host's caches as a Python module's would, and keyword calls reuse one tuple
// of keyword names.
struct Names {
  explicit Names(nb::handle module_name);

  // A name of the module namespace, looked up at call time.
  external::Namespace imported;
  // The module namespace.
  nb::object os, io, get_content_type, transfers;
  // The host's facilities.
  nb::object path, isfile, isdir, join, listdir, stat, st_size, bytes_io, open,
      close, replace, split, format;
  // The instance, the storage client and the logger.
  nb::object engine, log, warning, put_object, fput_object, upload_dir,
      upload_file;
  // The transfers of a tree upload on workers.
  nb::object upload;
  // Constant arguments.
  nb::object backslash, slash, read_binary, rejected, not_a_file, cycle;
  // Keyword names of the calls that take keywords.
  nb::object kw_content_type, kw_fput, kw_parallel;
  // The host's own os module, os.stat and POSIX path functions, as they
  // were when the module was loaded; invalid where os.path is not posixpath
  // (see paths.hpp).
  nb::object host_os, host_stat, host_isfile, host_isdir, host_join;
};

using external::attribute;
using external::call;
using external::call_method;
using external::checked;
using external::member;

}  // namespace zarnel::upload
