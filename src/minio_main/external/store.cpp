#include "external/store.hpp"

namespace zarnel::external {

using namespace nb::literals;

namespace {

bool is_exactly(nb::handle value, const char* module, const char* name) {
  nb::object cls = nb::module_::import_(module).attr(name);
  return value.type().is(cls);
}

std::string text_of(nb::handle value) {
  return value.is_none() ? std::string()
                         : nb::cast<std::string>(nb::str(value));
}

// What an error says, for a log line; never fails.
std::string error_text(nb::python_error& error) {
  PyObject* text = PyObject_Str(error.value().ptr());
  const char* data = text != nullptr ? PyUnicode_AsUTF8(text) : nullptr;
  std::string out =
      data != nullptr ? data : Py_TYPE(error.value().ptr())->tp_name;
  Py_XDECREF(text);
  PyErr_Clear();
  return out;
}

}  // namespace

std::optional<transfer::Endpoint> store_endpoint(nb::handle engine) {
  // The class itself, where the SDK defines it (not a name that a caller may
  // have pointed elsewhere).
  if (!is_exactly(engine, "minio.api", "Minio")) return std::nullopt;
  nb::object base_url = engine.attr("_base_url");
  if (nb::cast<bool>(base_url.attr("is_https")) ||
      nb::cast<bool>(base_url.attr("virtual_style_flag")) ||
      nb::cast<bool>(base_url.attr("accelerate_host_flag"))) {
    return std::nullopt;
  }
  // A proxying pool, or one the caller configured, is not the plain pool
  // whose behaviour the engine repeats.
  if (!is_exactly(engine.attr("_http"), "urllib3", "PoolManager")) {
    return std::nullopt;
  }
  if (!engine.attr("_trace_stream").is_none()) return std::nullopt;
  transfer::Endpoint endpoint;
  endpoint.base_url = "http://" + text_of(base_url.attr("host"));
  nb::object provider = engine.attr("_provider");
  endpoint.sign = !provider.is_none();
  if (endpoint.sign) {
    nb::object credentials = provider.attr("retrieve")();
    endpoint.access_key = text_of(credentials.attr("access_key"));
    endpoint.secret_key = text_of(credentials.attr("secret_key"));
    endpoint.session_token = text_of(credentials.attr("session_token"));
  }
  return endpoint;
}

bool own_operation(nb::handle self, const char* name, nb::handle original) {
  nb::object dict = nb::getattr(self, "__dict__", nb::none());
  if (!dict.is_none() && PyDict_Check(dict.ptr()) &&
      PyDict_GetItemString(dict.ptr(), name) != nullptr) {
    return false;
  }
  return nb::getattr(self.type(), name, nb::none()).is(original);
}

std::optional<transfer::Endpoint> engine_endpoint(nb::handle self,
                                                  nb::object& engine,
                                                  std::string& why) {
  nb::object dict = nb::getattr(self, "__dict__", nb::none());
  PyObject* found = !dict.is_none() && PyDict_Check(dict.ptr())
                        ? PyDict_GetItemString(dict.ptr(), "_engine")
                        : nullptr;
  if (found == nullptr) {
    why = "no _engine yet";
    return std::nullopt;
  }
  engine = nb::borrow(found);
  std::optional<transfer::Endpoint> endpoint;
  try {
    endpoint = store_endpoint(engine);
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;  // Ctrl-C goes on
    why = "the storage client could not be read: " + error_text(error);
    return std::nullopt;
  } catch (const std::exception& error) {  // a value of another type
    why = std::string("the storage client could not be read: ") + error.what();
    return std::nullopt;
  }
  if (!endpoint)
    why = "_engine is not the storage client's own, over plain HTTP";
  return endpoint;
}

std::string store_region(nb::handle engine, nb::handle bucket_name) {
  nb::module_::import_("minio.helpers")
      .attr("check_bucket_name")(
          bucket_name,
          "s3_check"_a = engine.attr("_base_url").attr("is_aws_host"));
  return text_of(engine.attr("_get_region")(bucket_name));
}

void forget_region(nb::handle engine, nb::handle bucket_name,
                   nb::handle error) {
  nb::object code = nb::getattr(error, "code", nb::none());
  if (code.equal(nb::str("NoSuchBucket")) || code.equal(nb::str("RetryHead"))) {
    engine.attr("_region_map").attr("pop")(bucket_name, nb::none());
  }
}

}  // namespace zarnel::external
