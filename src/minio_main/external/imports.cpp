#include "external/imports.hpp"

#include <string>

namespace zarnel::external {

namespace {

// The qualified names of this module ("zarnel.minio_main"), of its package
// ("zarnel.") and of the message table, as C++ text: no Python object may
// outlive the interpreter.
std::string module_name, package_name, table_name;

// A module of sys.modules, read directly: an import statement's machinery
// would cost more than the rest of a call.
nb::object loaded(const std::string& name) {
  nb::object module =
      nb::steal(PyImport_GetModule(nb::str(name.c_str()).ptr()));
  if (PyErr_Occurred()) throw nb::python_error();
  return module;
}

void bind_from(nb::module_& m, const std::string& module, const char* name) {
  m.attr(name) = nb::module_::import_(module.c_str()).attr(name);
}

}  // namespace

void import_into(nb::module_& m) {
  module_name = nb::str(m.attr("__name__")).c_str();
  std::string package = module_name.substr(0, module_name.rfind('.') + 1);
  package_name = package;
  table_name = package + "messages";
  m.attr("io") = nb::module_::import_("io");
  m.attr("os") = nb::module_::import_("os");
  bind_from(m, "datetime", "timedelta");
  m.attr("minio") = nb::module_::import_("minio");
  bind_from(m, "minio.deleteobjects", "DeleteObject");
  bind_from(m, "minio.error", "S3Error");
  bind_from(m, "zarnel_log", "ZarnelLog");
  bind_from(m, "zarnel_ssh", "ZarnelSSH");
  bind_from(m, "zarnel_var", "ZarnelVar");
  bind_from(m, package + "content_type", "get_content_type");
  // The worker threads of the tree operations.
  bind_from(m, package + "transfers", "Transfers");
  // Forked children drop the pooled connections of the clients made before.
  bind_from(m, package + "forks", "renew_after_fork");
  // The two syncs, whose logic is Python's.
  bind_from(m, package + "sync", "sync_up");
  bind_from(m, package + "sync", "sync_down");
  nb::module_::import_(table_name.c_str());
}

nb::object imported(const char* name) {
  nb::object module = loaded(module_name);
  if (!module.is_valid()) {
    PyErr_Format(PyExc_ImportError, "module %s is no longer loaded",
                 module_name.c_str());
    throw nb::python_error();
  }
  return module.attr(name);
}

nb::object support(const char* module, const char* name) {
  std::string qualified = package_name + module;
  nb::object found = loaded(qualified);
  if (!found.is_valid()) found = nb::module_::import_(qualified.c_str());
  return found.attr(name);
}

nb::object message(const char* name) {
  nb::object table = loaded(table_name);
  if (!table.is_valid()) table = nb::module_::import_(table_name.c_str());
  return table.attr(name);
}

void warn(nb::handle self, const char* name, nb::handle value) {
  nb::object text = message(name);
  if (value.is_valid()) text = text.attr("format")(value);
  self.attr("_log").attr("warning")(text);
}

nb::object path_text(nb::handle path) {
  if (nb::isinstance<nb::str>(path) ||
      (!nb::isinstance<nb::bytes>(path) &&
       !nb::hasattr(path.type(), "__fspath__"))) {
    return nb::borrow(path);
  }
  return imported("os").attr("fsdecode")(path);
}

}  // namespace zarnel::external
