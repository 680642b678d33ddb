// Construction and the storage connection.
#include <utility>

#include "external/imports.hpp"
#include "host.hpp"
#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;
using external::imported;

namespace {

// What pickling rebuilds from: a copy of a mapping, taken before cleansing
// adds the tunnel defaults to it; anything else as it is (a subclass's
// _cleanse_params may take other kinds).
nb::object copy_given(nb::handle config) {
  if (!nb::isinstance<nb::dict>(config) && !nb::hasattr(config, "keys")) {
    return nb::borrow(config);
  }
  nb::dict copy;
  copy.update(config);
  return copy;
}

// Logger, cleansed record, then the tunnel when the record asks for one. Any
// failure ends construction; what was stored before it stays on the object.
void construct(nb::pointer_and_handle<ZarnelMinioMain> self,
               nb::handle config) {
  new (self.p) ZarnelMinioMain();
  nb::handle obj = self.h;
  obj.attr("_log") = imported("ZarnelLog")("file"_a = false);
  nb::object given = copy_given(config);
  obj.attr("_cleanse_params")(config);
  nb::object record = obj.attr("_config");
  if (host::truth(record.attr("ssh"))) {
    nb::object tunnel = imported("ZarnelSSH")(record.attr("todict")());
    obj.attr("_config") = tunnel.attr("connect")();
  }
  // Last: nanobind runs no destructor for a construction that failed.
  self.p->given = std::move(given);
}

// The storage client, always without TLS whatever `secure` says; nothing is
// contacted here. A process forked later opens its own connections for it.
void connect(nb::handle self) {
  nb::object record = self.attr("_config");
  nb::object endpoint = host::text(record.attr("host")) + nb::str(":") +
                        host::text(record.attr("port"));
  nb::object user = record.attr("user");
  nb::object password = record.attr("password");
  nb::object engine = imported("minio").attr("Minio")(
      "endpoint"_a = endpoint, "access_key"_a = user, "secret_key"_a = password,
      "secure"_a = false);
  imported("renew_after_fork")(engine);
  self.attr("_engine") = engine;
}

}  // namespace

void bind_client(Class& cls) {
  cls.def("__init__", &construct, "config"_a.none(),
          nb::sig("def __init__(self, config: "
                  "collections.abc.MutableMapping[str, typing.Any]) -> None"),
          "Build the client from a configuration mapping (does not connect): "
          "check it, add the ssh* keys it lacks to it as None, and open the "
          "SSH tunnel when `ssh` is true.");
  bind_params(cls);
  cls.def("_connect", &connect,
          "Create the storage client for `_config` and store it in "
          "`_engine`.");
  bind_pickling(cls);
}

}  // namespace zarnel
