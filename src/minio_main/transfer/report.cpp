#include "transfer/report.hpp"

#include <nanobind/stl/string.h>

#include <cstring>

namespace zarnel::transfer {

namespace {

const char* kind_name(Failure::Kind kind) {
  switch (kind) {
    case Failure::Kind::kStore:
      return "store";
    case Failure::Kind::kTransport:
      return "transport";
    case Failure::Kind::kSystem:
      return "system";
    case Failure::Kind::kBody:
      return "body";
    case Failure::Kind::kChanged:
      return "changed";
    case Failure::Kind::kValue:
      break;
  }
  return "value";
}

nb::object fs_text(const std::string& path) {
  if (path.empty()) return nb::none();
  nb::object text = nb::steal(PyUnicode_DecodeFSDefaultAndSize(
      path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!text.is_valid()) throw nb::python_error();
  return text;
}

}  // namespace

nb::object decoded(const std::string& text) {
  nb::object out = nb::steal(PyUnicode_DecodeUTF8(
      text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!out.is_valid()) throw nb::python_error();
  return out;
}

nb::dict report_of(const Failure& failure, const std::string& endpoint) {
  nb::dict data;
  data["kind"] = kind_name(failure.kind);
  data["endpoint"] = endpoint;
  data["bucket"] = decoded(failure.bucket);
  data["object_name"] = decoded(failure.object_name);
  data["resource"] = decoded(failure.resource);
  data["path"] = fs_text(failure.path);
  data["status"] = failure.status;
  data["content_type"] = decoded(failure.content_type);
  data["request_id"] = decoded(failure.request_id);
  data["host_id"] = decoded(failure.host_id);
  data["body"] = nb::bytes(failure.body.data(), failure.body.size());
  data["errno"] = failure.os_errno;
  data["message"] = failure.kind == Failure::Kind::kSystem
                        ? nb::object(nb::str(std::strerror(failure.os_errno)))
                        : decoded(failure.message);
  data["connect"] = failure.curl_code == CURLE_COULDNT_CONNECT;
  data["timed_out"] = failure.curl_code == CURLE_OPERATION_TIMEDOUT;
  return data;
}

}  // namespace zarnel::transfer
