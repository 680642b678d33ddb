// Removal of one object and of a batch of objects.
#include "download/download.hpp"

namespace zarnel::download {

using external::attribute;
using external::call;
using external::call_method;
using external::checked;

void remove_object(const Names& names, nb::handle self, nb::handle bucket_name,
                   nb::handle object_name) {
  call_method(attribute(self, names.engine), names.remove_object, {},
              bucket_name, object_name);
}

void remove_objects(const Names& names, nb::handle self, nb::handle bucket_name,
                    nb::handle object_list) {
  // A string is iterable too: "report.csv" would remove "r", "e", "p", ...
  PyObject* list = object_list.ptr();
  if (PyUnicode_Check(list) || PyBytes_Check(list) || PyByteArray_Check(list)) {
    PyErr_Format(PyExc_TypeError,
                 "object_list must be a collection of object names, not %s",
                 Py_TYPE(list)->tp_name);
    throw nb::python_error();
  }
  // Every request is built before the store is contacted, so a bad name list
  // deletes nothing.
  nb::object delete_object = names.imported(names.delete_object);
  nb::object requests = checked(PyList_New(0));
  nb::object names_iter = checked(PyObject_GetIter(object_list.ptr()));
  while (PyObject* name = PyIter_Next(names_iter.ptr())) {
    nb::object request = call(delete_object, {}, nb::steal(name));
    if (PyList_Append(requests.ptr(), request.ptr()) < 0) {
      throw nb::python_error();
    }
  }
  if (PyErr_Occurred()) throw nb::python_error();
  nb::object engine = attribute(self, names.engine);
  nb::object errors = call_method(engine, names.remove_objects, {}, bucket_name,
                                  checked(PyObject_GetIter(requests.ptr())));
  // The deletions happen while this result is consumed: it is read to its
  // end, and a failed object is a warning, not an error.
  nb::object errors_iter = checked(PyObject_GetIter(errors.ptr()));
  while (PyObject* error = PyIter_Next(errors_iter.ptr())) {
    nb::object failed = nb::steal(error);
    call_method(attribute(self, names.log), names.warning, {}, failed);
  }
  if (PyErr_Occurred()) throw nb::python_error();
}

}  // namespace zarnel::download
