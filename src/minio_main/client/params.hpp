// The parameter schema, the tunnel defaults and configuration cleansing.
#pragma once

#include <nanobind/nanobind.h>

#include "external/calls.hpp"

namespace zarnel::params {

namespace nb = nanobind;

void set_params_dict(nb::handle self);
void set_default_params(nb::handle self);
void cleanse(const external::Namespace& imported, nb::handle self,
             nb::handle config);

}  // namespace zarnel::params
