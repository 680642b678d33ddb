// The store's XML answers that the engine reads: a page of a listing and an
// error, parsed with expat.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zarnel::transfer {

struct ListedObject {
  std::string key, etag;
  std::uint64_t size = 0;
};

struct ListPage {
  std::vector<ListedObject> objects;
  bool truncated = false;
  std::string next_token;
};

// A ListObjectsV2 page, keys decoded when the store url-encoded them; nothing
// when the text is not such a page.
std::optional<ListPage> parse_list_page(const std::string& xml);

struct StoreError {
  std::string code, message, resource, request_id, host_id, bucket, key;
};

// An <Error> document; nothing when the text is not one.
std::optional<StoreError> parse_error(const std::string& xml);

// The store's url encoding of names in listings undone (%XX, and "+" for a
// blank), as the storage client undoes it.
std::string url_decode(const std::string& text);

}  // namespace zarnel::transfer
