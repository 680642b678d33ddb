#include "external/imports.hpp"

#include <string>

namespace zarnel::external {

namespace {

// The package that holds this module, for the relative import of
// content_type ("zarnel" for "zarnel.minio_main").
std::string package_of(const std::string& qualified) {
  auto dot = qualified.rfind('.');
  return dot == std::string::npos ? std::string() : qualified.substr(0, dot);
}

void bind_from(nb::module_& m, const char* module, const char* name) {
  m.attr(name) = nb::module_::import_(module).attr(name);
}

}  // namespace

void import_into(nb::module_& m) {
  std::string module_name = nb::str(m.attr("__name__")).c_str();

  m.attr("io") = nb::module_::import_("io");
  m.attr("os") = nb::module_::import_("os");
  bind_from(m, "datetime", "timedelta");
  m.attr("minio") = nb::module_::import_("minio");
  bind_from(m, "minio.deleteobjects", "DeleteObject");
  bind_from(m, "minio.error", "S3Error");
  bind_from(m, "zarnel_log", "ZarnelLog");
  bind_from(m, "zarnel_ssh", "ZarnelSSH");
  bind_from(m, "zarnel_var", "ZarnelVar");

  std::string package = package_of(module_name);
  auto sibling = [&package](const char* name) {
    return package.empty() ? std::string(name) : package + "." + name;
  };
  bind_from(m, sibling("content_type").c_str(), "get_content_type");
  // The worker threads of the tree operations.
  bind_from(m, sibling("transfers").c_str(), "Transfers");
  // Forked children drop the pooled connections of the clients made before.
  bind_from(m, sibling("forks").c_str(), "renew_after_fork");
}

}  // namespace zarnel::external
