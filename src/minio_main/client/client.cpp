// Construction, the parameter schema and cleansing, and the storage connection.
#include <nanobind/nanobind.h>

#include <memory>
#include <utility>

#include "client/params.hpp"
#include "external/calls.hpp"
#include "host.hpp"
#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;

namespace {

// What pickling rebuilds from: a copy of a mapping, taken before cleansing
// adds the tunnel defaults to it; anything else as it is (a subclass's
// _cleanse_params may take other kinds).
nb::object copy_given(nb::handle config) {
  if (!PyDict_Check(config.ptr()) && !nb::hasattr(config, "keys")) {
    return nb::borrow(config);
  }
  nb::dict copy;
  if (PyDict_Merge(copy.ptr(), config.ptr(), 1) < 0) throw nb::python_error();
  return copy;
}

// Logger, cleansed record, then the tunnel when the record asks for one. Any
// failure ends construction; what was stored before it stays on the object.
void construct(const external::Namespace& imported,
               nb::pointer_and_handle<ZarnelMinioMain> self,
               nb::handle config) {
  new (self.p) ZarnelMinioMain();
  nb::handle obj = self.h;
  obj.attr("_log") = imported("ZarnelLog")("file"_a = false);
  nb::object given = copy_given(config);
  obj.attr("_cleanse_params")(config);
  nb::object record = obj.attr("_config");
  if (host::truth(record.attr("ssh"))) {
    nb::object mapping = record.attr("todict")();
    nb::object tunnel = imported("ZarnelSSH")(mapping);
    obj.attr("_config") = tunnel.attr("connect")();
  }
  // Last: nanobind runs no destructor for a construction that failed.
  self.p->given = std::move(given);
}

// The storage client, always without TLS whatever `secure` says; nothing is
// contacted here. A process forked later opens its own connections for it.
void connect(const external::Namespace& imported, nb::handle self) {
  nb::object record = self.attr("_config");
  nb::str host_text = host::text(record.attr("host"));
  nb::str port_text = host::text(record.attr("port"));
  nb::object endpoint = host_text + nb::str(":") + port_text;
  nb::object user = record.attr("user");
  nb::object password = record.attr("password");
  nb::object minio_class = imported("minio").attr("Minio");
  nb::object engine =
      minio_class("endpoint"_a = endpoint, "access_key"_a = user,
                  "secret_key"_a = password, "secure"_a = false);
  imported("renew_after_fork")(engine);
  self.attr("_engine") = engine;
}

}  // namespace

void bind_client(Class& cls) {
  // Shared by the bound functions and released with the last of them.
  auto imported =
      std::make_shared<const external::Namespace>(cls.attr("__module__"));

  cls.def(
      "__init__",
      [imported](nb::pointer_and_handle<ZarnelMinioMain> self,
                 nb::handle config) { construct(*imported, self, config); },
      "config"_a.none(),
      "Build the client from a configuration mapping (does not connect).");
  cls.def(
      "_cleanse_params",
      [imported](nb::handle self, nb::handle config) {
        params::cleanse(*imported, self, config);
      },
      "config"_a.none(),
      "Check `config` against the schema and store the record in "
      "`_config`; raise Exception listing every problem.");
  cls.def("_set_params_dict", &params::set_params_dict,
          "Store the parameter schema in `_params_dict`.");
  cls.def("_set_default_params", &params::set_default_params,
          "Store the defaults of the tunnel keys in `_default_params`.");
  cls.def(
      "_connect", [imported](nb::handle self) { connect(*imported, self); },
      "Create the storage client for `_config` and store it in "
      "`_engine`.");
  bind_pickling(cls);
}

}  // namespace zarnel
