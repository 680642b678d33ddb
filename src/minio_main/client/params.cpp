// The parameter schema, the tunnel defaults and configuration cleansing.
#include "external/imports.hpp"
#include "host.hpp"
#include "minio_main.hpp"

namespace zarnel {

using namespace nb::literals;
using external::message;

namespace {

// dict(**keywords), which keeps their order.
const nb::handle dict_type(reinterpret_cast<PyObject*>(&PyDict_Type));

// ZarnelVar(**config) from a copy of the caller's mapping. A call from C++
// has no `**` of its own, so the host's errors for a non-mapping and for a
// key that is no text are raised here, with the host's messages.
nb::object make_record(nb::handle config) {
  nb::object record_class = external::imported("ZarnelVar");
  if (!nb::isinstance<nb::dict>(config) && !nb::hasattr(config, "keys")) {
    // Named as the host names a callable: module.qualname().
    nb::object name =
        nb::getattr(record_class, "__qualname__", nb::str("ZarnelVar"));
    nb::object module = nb::getattr(record_class, "__module__", nb::none());
    if (nb::isinstance<nb::str>(module) && !module.equal(nb::str("builtins"))) {
      name = module + nb::str(".") + name;
    }
    PyErr_Format(PyExc_TypeError,
                 "%S() argument after ** must be a mapping, not %s", name.ptr(),
                 Py_TYPE(config.ptr())->tp_name);
    throw nb::python_error();
  }
  nb::dict kwargs;
  kwargs.update(config);
  for (nb::handle key : kwargs.keys()) {
    if (!nb::isinstance<nb::str>(key)) {
      throw nb::type_error("keywords must be strings");
    }
  }
  return record_class(**kwargs);
}

void set_params_dict(nb::handle self) {
  nb::dict schema;
  for (const char* key : {"host", "port", "user", "password"}) {
    schema[key] = dict_type("type"_a = true);
  }
  schema["secure"] =
      dict_type("type"_a = false, "default"_a = false,
                "optional"_a = nb::list(nb::make_tuple(true, false)));
  self.attr("_params_dict") = schema;
}

void set_default_params(nb::handle self) {
  nb::dict defaults;
  for (nb::handle key : message("TUNNEL_KEYS")) defaults[key] = nb::none();
  self.attr("_default_params") = defaults;
}

void cleanse(nb::handle self, nb::handle config) {
  nb::object record = make_record(config);
  self.attr("_config") = record;
  self.attr("_set_params_dict")();
  nb::list missing, bad_options, messages;
  for (nb::handle item : self.attr("_params_dict").attr("items")()) {
    nb::object key = item[0], spec = item[1];
    nb::object value = record.attr("get")(key);
    if (host::truth(value)) {
      nb::object allowed = spec.attr("get")("optional");
      if (host::truth(allowed) && !host::contains(allowed, value)) {
        bad_options.append(nb::make_tuple(key, allowed));
      }
    } else if (host::truth(spec.attr("get")("type"))) {
      missing.append(key);
    } else {
      nb::object fallback = spec.attr("get")("default");
      if (host::truth(fallback)) record.attr("set")(key, fallback);
    }
  }
  // Missing keys first, then each bad option, whatever the schema order.
  if (nb::len(missing) > 0) {
    messages.append(
        message("MISSING_PARAMS").attr("format")(host::text(missing)));
  }
  for (nb::handle pair : bad_options) {
    messages.append(
        message("BAD_OPTION")
            .attr("format")(host::text(pair[0]), host::text(pair[1])));
  }
  if (nb::len(messages) > 0) {  // the one error of the module's own
    nb::object text = message("MESSAGE_SEPARATOR").attr("join")(messages);
    PyErr_SetObject(PyExc_Exception, text.ptr());
    throw nb::python_error();
  }
  self.attr("_set_default_params")();
  for (nb::handle item : self.attr("_default_params").attr("items")()) {
    if (!host::contains(config, item[0])) {
      config.attr("update")(dict_type(nb::make_tuple(item)));
    }
  }
}

}  // namespace

void bind_params(Class& cls) {
  cls.def("_cleanse_params", &cleanse, "config"_a.none(),
          nb::sig("def _cleanse_params(self, config: "
                  "collections.abc.MutableMapping[str, typing.Any]) -> None"),
          "Check `config` against the schema and store the record in "
          "`_config`; raise Exception listing every problem.");
  cls.def("_set_params_dict", &set_params_dict,
          "Store the parameter schema in `_params_dict`.");
  cls.def("_set_default_params", &set_default_params,
          "Store the defaults of the tunnel keys in `_default_params`.");
}

}  // namespace zarnel
