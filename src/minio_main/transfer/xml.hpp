// The store's XML answers that the engine reads, parsed with expat. Its error
// answers go to zarnel.outcome as they came.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zarnel::transfer {

// A small answer of the store: its root element's name and the text of the
// child element `child` ("UploadId"), empty when absent; nothing when the
// text is no XML document.
struct Document {
  std::string root, text;
};
std::optional<Document> parse_document(const std::string& xml,
                                       const std::string& child);
// What a listing's page that stays damaged fails with.
constexpr const char* unreadable_page =
    "a page of the listing came damaged every time it was asked for";

// The unfinished uploads of a ListMultipartUploads answer; nothing when the
// text is no such answer.
struct UnfinishedUpload {
  std::string key, upload_id, initiated;  // initiated: ISO 8601, UTC
};
std::optional<std::vector<UnfinishedUpload>> parse_uploads(
    const std::string& xml);

// The parts already stored of an unfinished upload (a ListParts answer);
// nothing when the text is no such answer. `next`: the marker of the page
// that follows, when the answer says it is truncated.
struct StoredPart {
  int number = 0;
  std::string etag, last_modified;  // ISO 8601, UTC
  std::uint64_t size = 0;
};
struct PartPage {
  std::vector<StoredPart> parts;
  std::optional<std::string> next;
};
std::optional<PartPage> parse_parts(const std::string& xml);

// A page of a bucket listing read as the storage client reads it
// (minio.datatypes.parse_list_objects, Object.fromxml): the elements in the
// root's namespace, the first of each kind, names url-decoded when the page
// says EncodingType "url". Only the plain case is read here: when the page
// holds anything else (entries of another kind, a value in another form, a
// missing field, XML that does not parse), `irregular` is set, and the
// caller hands the page to the storage client's own parser, which then gives
// its own records or its own error.
struct RecordPage {
  struct Record {
    std::string key;   // bytes, UTF-8 when the store sent UTF-8
    std::string etag;  // its quotes removed, as the storage client does
    bool has_etag = false;
    std::uint64_t size = 0;
    // LastModified as the records give it: "YYYY-MM-DD HH:MM:SS.ffffff".
    char last_modified[26] = {};
  };
  std::string bucket;  // the page's Name
  std::vector<Record> records;
  bool irregular = false;
  bool unreadable = false;  // no whole XML document: damaged on its way
  std::string body;         // an irregular page, for the storage client
  // Whether another page follows, and the continuation token for it, as the
  // storage client chooses it (NextContinuationToken, NextKeyMarker,
  // NextMarker, else the last key).
  bool truncated = false;
  std::optional<std::string> next;
};

// With `delimited`, a page of a listing with a delimiter: its CommonPrefixes
// (the folders below) are passed over.
RecordPage read_record_page(const std::string& xml, bool delimited = false);

// The continuation token of a truncated page as its text plainly names it
// (<IsTruncated>true</IsTruncated>, <NextContinuationToken>...</...>, no
// entities), found without reading the XML: a guess, which
// read_record_page's `next` confirms or not.
std::optional<std::string> guess_next_token(const std::string& xml);

// The store's url encoding of names in listings undone (%XX, and "+" for a
// blank), as the storage client undoes it.
std::string url_decode(const std::string& text);

}  // namespace zarnel::transfer
