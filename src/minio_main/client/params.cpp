#include "client/params.hpp"

#include "host.hpp"

namespace zarnel::params {

namespace {

// Required parameters have a true `type`; `secure` alone has allowed values.
nb::dict required() {
  nb::dict spec;
  spec["type"] = true;
  return spec;
}

// ZarnelVar(**config): the record is built from a copy of the caller's
// mapping, with the host's errors for a non-mapping or a non-text key.
nb::object make_record(const external::Namespace& imported, nb::handle config) {
  nb::object record_class = imported("ZarnelVar");
  nb::dict kwargs;
  if (PyDict_Check(config.ptr()) || nb::hasattr(config, "keys")) {
    if (PyDict_Merge(kwargs.ptr(), config.ptr(), 1) < 0) {
      throw nb::python_error();
    }
  } else {
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
  for (nb::handle key : kwargs.keys()) {
    if (!PyUnicode_Check(key.ptr())) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      throw nb::python_error();
    }
  }
  PyObject* record =
      PyObject_Call(record_class.ptr(), nb::tuple().ptr(), kwargs.ptr());
  if (record == nullptr) throw nb::python_error();
  return nb::steal(record);
}

[[noreturn]] void raise_exception(nb::handle message) {
  PyErr_SetObject(PyExc_Exception, message.ptr());
  throw nb::python_error();
}

}  // namespace

void set_params_dict(nb::handle self) {
  nb::dict secure;
  secure["type"] = false;
  secure["default"] = false;
  nb::list allowed;
  allowed.append(true);
  allowed.append(false);
  secure["optional"] = allowed;

  nb::dict schema;
  schema["host"] = required();
  schema["port"] = required();
  schema["user"] = required();
  schema["password"] = required();
  schema["secure"] = secure;
  self.attr("_params_dict") = schema;
}

void set_default_params(nb::handle self) {
  nb::dict defaults;
  for (const char* key : {"ssh", "ssh_host", "ssh_port", "ssh_user",
                          "ssh_password", "ssh_rsa", "ssh_rsa_pwd"}) {
    defaults[key] = nb::none();
  }
  self.attr("_default_params") = defaults;
}

void cleanse(const external::Namespace& imported, nb::handle self,
             nb::handle config) {
  nb::object record = make_record(imported, config);
  self.attr("_config") = record;
  self.attr("_set_params_dict")();
  nb::object schema = self.attr("_params_dict");

  nb::list missing;
  nb::list bad_options;
  nb::list messages;
  for (nb::handle item : schema.attr("items")()) {
    nb::object key = item[0];
    nb::object spec = item[1];
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
    messages.append(nb::str("缺少必填参数：") + host::text(missing));
  }
  for (nb::handle pair : bad_options) {
    messages.append(nb::str("参数") + host::text(pair[0]) +
                    nb::str("预设值不正确，可选：") + host::text(pair[1]));
  }
  if (nb::len(messages) > 0) {
    raise_exception(nb::str("；").attr("join")(messages));
  }

  self.attr("_set_default_params")();
  nb::object defaults = self.attr("_default_params");
  for (nb::handle item : defaults.attr("items")()) {
    nb::object key = item[0];
    if (!host::contains(config, key)) {
      nb::dict entry;
      entry[key] = item[1];
      config.attr("update")(entry);
    }
  }
}

}  // namespace zarnel::params
