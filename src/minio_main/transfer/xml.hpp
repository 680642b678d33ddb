// The store's XML answers that the engine reads, a page of a listing, parsed
// with expat. Its error answers go to zarnel.outcome as they came.
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

// A small answer of the store: its root element's name and the text of the
// child element `child` ("UploadId"), empty when absent; nothing when the
// text is no XML document.
struct Document {
  std::string root, text;
};
std::optional<Document> parse_document(const std::string& xml,
                                       const std::string& child);

// The store's url encoding of names in listings undone (%XX, and "+" for a
// blank), as the storage client undoes it.
std::string url_decode(const std::string& text);

}  // namespace zarnel::transfer
