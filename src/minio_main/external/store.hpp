// What the transfer engine takes from a storage client that the SDK made:
// its endpoint, its credentials and the region it signs a bucket's requests
// for. This is the one place that reads the SDK client's inner state.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <string>

#include "transfer/engine.hpp"

namespace zarnel::external {

namespace nb = nanobind;

// The endpoint of `engine` when it is a client of the SDK's own class that
// speaks plain HTTP, path-style, through its own connection pool and without
// tracing; nothing otherwise, and the caller then goes the SDK's way.
std::optional<transfer::Endpoint> store_endpoint(nb::handle engine);

// Whether `self`'s operation `name` is `original`, the class's own: not set
// on the instance, not overridden by a subclass.
bool own_operation(nb::handle self, const char* name, nb::handle original);

// The endpoint for the transfer engine to serve `self` with: `_engine` set on
// the instance and taken by store_endpoint(). Deciding never fails the call:
// nothing, with why in `why`, when the client cannot be read either (a
// stand-in SDK), and the caller goes the SDK's way. `engine` is set to the
// client.
std::optional<transfer::Endpoint> engine_endpoint(nb::handle self,
                                                  nb::object& engine,
                                                  std::string& why);

// What the SDK checks of a bucket name before a request, and the region it
// signs the bucket's requests for (asking the store once, as it does).
std::string store_region(nb::handle engine, nb::handle bucket_name);

// After `error` from a request for the bucket, the region forgotten as the
// SDK forgets it (on NoSuchBucket and RetryHead), so the next call asks again.
void forget_region(nb::handle engine, nb::handle bucket_name, nb::handle error);

}  // namespace zarnel::external
