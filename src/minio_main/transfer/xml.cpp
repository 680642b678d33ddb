#include "transfer/xml.hpp"

#include <expat.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace zarnel::transfer {

namespace {

// Collects the text of elements by their path below the root, e.g.
// "Contents/Key"; `on_close` sees each element's path and text as it ends.
class Reader {
 public:
  template <typename OnClose>
  bool parse(const std::string& xml, std::string& root, OnClose&& on_close) {
    std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
        XML_ParserCreate("UTF-8"), &XML_ParserFree);
    if (!parser) return false;
    struct State {
      std::vector<std::string> path;
      std::string text;
      std::string* root;
      OnClose* on_close;
    } state{{}, {}, &root, &on_close};
    XML_SetUserData(parser.get(), &state);
    XML_SetElementHandler(
        parser.get(),
        [](void* data, const XML_Char* name, const XML_Char**) {
          auto* s = static_cast<State*>(data);
          // Namespaced documents still name their elements plainly here.
          if (s->path.empty() && s->root->empty()) *s->root = name;
          s->path.emplace_back(name);
          s->text.clear();
        },
        [](void* data, const XML_Char*) {
          auto* s = static_cast<State*>(data);
          std::string joined;
          for (std::size_t i = 1; i < s->path.size(); ++i) {
            if (i > 1) joined += '/';
            joined += s->path[i];
          }
          (*s->on_close)(joined, s->text);
          s->path.pop_back();
          s->text.clear();
        });
    XML_SetCharacterDataHandler(
        parser.get(), [](void* data, const XML_Char* text, int length) {
          static_cast<State*>(data)->text.append(text, length);
        });
    return XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()),
                     1) == XML_STATUS_OK;
  }
};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What an element of a listing page is to the storage client's reading: the
// text fields it reads (the first of each), a Contents, or a kind of entry
// that it reads too but that the fast reading leaves to it.
enum class Field {
  kNone,
  kName,
  kEncodingType,
  kIsTruncated,
  kNextContinuationToken,
  kNextKeyMarker,
  kNextMarker,
  kContents,
  kKey,
  kLastModified,
  kETag,
  kSize,
  kOther,  // Version, DeleteMarker, CommonPrefixes; UserTags in a Contents
};

// The field that element `name` is, on the page (depth 2) or in a Contents.
Field field_of(const char* name, bool in_contents) {
  static const struct {
    const char* name;
    Field field;
    bool in_contents;
  } fields[] = {{"Contents", Field::kContents, false},
                {"Name", Field::kName, false},
                {"EncodingType", Field::kEncodingType, false},
                {"IsTruncated", Field::kIsTruncated, false},
                {"NextContinuationToken", Field::kNextContinuationToken, false},
                {"NextKeyMarker", Field::kNextKeyMarker, false},
                {"NextMarker", Field::kNextMarker, false},
                {"Version", Field::kOther, false},
                {"DeleteMarker", Field::kOther, false},
                {"CommonPrefixes", Field::kOther, false},
                {"Key", Field::kKey, true},
                {"LastModified", Field::kLastModified, true},
                {"ETag", Field::kETag, true},
                {"Size", Field::kSize, true},
                {"UserTags", Field::kOther, true}};
  for (const auto& known : fields) {
    if (known.in_contents == in_contents && std::strcmp(name, known.name) == 0)
      return known.field;
  }
  return Field::kNone;
}

// The separator between an element's namespace and its local name that
// expat puts in the names it reports; no XML name or URI holds it.
constexpr char ns_separator = '\x01';

// A page's state while expat reads it. Only elements of the root's own
// namespace count, as for the storage client, which looks children up in the
// namespace of the root.
struct PageReader {
  RecordPage page;
  bool delimited = false;
  std::string root_ns;
  bool root_seen = false;
  int depth = 0;
  // The field whose text is being read (depth 2, or 3 in a Contents).
  Field reading = Field::kNone;
  int reading_depth = 0;
  std::string text;
  // The first of each field's text, by Field, and whether it was there: the
  // page's, and the current Contents' (last_key: the last Contents' Key).
  std::optional<std::string> values[static_cast<int>(Field::kOther)];
  std::optional<std::string> last_key;
  bool in_contents = false;

  std::optional<std::string>& at(Field field) {
    return values[static_cast<int>(field)];
  }

  // The local name of `name` when it is in the root's namespace, else null.
  const char* local(const char* qualified) const {
    const char* separator = std::strchr(qualified, ns_separator);
    if (root_ns.empty()) return separator == nullptr ? qualified : nullptr;
    if (separator == nullptr ||
        static_cast<std::size_t>(separator - qualified) != root_ns.size() ||
        std::strncmp(qualified, root_ns.data(), root_ns.size()) != 0) {
      return nullptr;
    }
    return separator + 1;
  }

  void start(const char* qualified) {
    ++depth;
    if (reading != Field::kNone) {
      // A field with elements inside: its text is not what it reads.
      page.irregular = true;
      return;
    }
    if (depth == 1) {
      const char* separator = std::strchr(qualified, ns_separator);
      if (separator != nullptr) root_ns.assign(qualified, separator);
      root_seen = true;
      return;
    }
    const char* name_here = local(qualified);
    if (name_here == nullptr) return;
    if (depth == 2) {
      Field field = field_of(name_here, false);
      if (field == Field::kContents) {
        in_contents = true;
        for (Field field :
             {Field::kKey, Field::kLastModified, Field::kETag, Field::kSize}) {
          at(field).reset();
        }
      } else if (field == Field::kOther) {
        if (!delimited || std::strcmp(name_here, "CommonPrefixes") != 0) {
          page.irregular = true;
        }
      } else if (field != Field::kNone && !at(field)) {
        reading = field;
        reading_depth = depth;
        text.clear();
      }
    } else if (depth == 3 && in_contents) {
      Field field = field_of(name_here, true);
      if (field == Field::kOther) {
        page.irregular = true;
      } else if (field != Field::kNone && !at(field)) {
        reading = field;
        reading_depth = depth;
        text.clear();
      }
    }
  }

  void end() {
    if (reading != Field::kNone && depth == reading_depth) {
      at(reading) = std::move(text);
      text.clear();
      reading = Field::kNone;
    } else if (depth == 2 && in_contents) {
      in_contents = false;
      close_contents();
    }
    --depth;
  }

  void close_contents() {
    RecordPage::Record record;
    std::optional<std::string>&key = at(Field::kKey),
    &time = at(Field::kLastModified), &etag = at(Field::kETag),
    &size = at(Field::kSize);
    last_key = key;
    // What the storage client would refuse or give otherwise (no Key, no
    // LastModified or Size, a value in another form) is its to say.
    if (!key || !time || !size || !record_time(*time, record.last_modified) ||
        !plain_size(*size, record.size)) {
      page.irregular = true;
      return;
    }
    record.key = std::move(*key);
    if (etag) {
      record.has_etag = true;
      for (char c : *etag) {
        if (c != '"') record.etag += c;
      }
    }
    page.records.push_back(std::move(record));
  }

  // A run of decimal digits that fits, as int() reads it.
  static bool plain_size(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
  }

  // "YYYY-MM-DDTHH:MM:SS[.f{1,6}]Z", a real date of a year from 1000 on, as
  // the records give it; false for anything else, which the storage
  // client's strptime reads (or refuses) its own way.
  static bool record_time(const std::string& text, char (&out)[26]) {
    std::size_t n = text.size();
    if (n < 20 || n == 21 || n > 27 || text[n - 1] != 'Z') return false;
    const char* shape = "dddd-dd-ddTdd:dd:dd";
    for (std::size_t i = 0; i < 19; ++i) {
      bool digit = text[i] >= '0' && text[i] <= '9';
      if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
    }
    if (n > 20 && text[19] != '.') return false;
    for (std::size_t i = 20; i + 1 < n; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
    }
    auto number = [&text](std::size_t from, std::size_t width) {
      int value = 0;
      for (std::size_t i = from; i < from + width; ++i) {
        value = value * 10 + (text[i] - '0');
      }
      return value;
    };
    int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1000 || month < 1 || month > 12 || day < 1 ||
        day > days[month - 1] + (month == 2 && leap ? 1 : 0) ||
        number(11, 2) > 23 || number(14, 2) > 59 || number(17, 2) > 59) {
      return false;
    }
    std::memcpy(out, text.data(), 19);
    out[10] = ' ';
    out[19] = '.';
    // The fraction's digits, then zeros: ".5" is 500000 microseconds.
    for (std::size_t i = 0; i < 6; ++i) {
      out[20 + i] = 20 + i + 1 < n ? text[20 + i] : '0';
    }
    return true;
  }
};

// Python's str.lower() of `text` == "true", for the ASCII that can match.
bool is_true(const std::string& text) {
  if (text.size() != 4) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != "true"[i]) return false;
  }
  return true;
}

}  // namespace

RecordPage read_record_page(const std::string& xml, bool delimited) {
  PageReader reader;
  reader.delimited = delimited;
  std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
      XML_ParserCreateNS("UTF-8", ns_separator), &XML_ParserFree);
  if (!parser) {
    reader.page.irregular = true;
    return std::move(reader.page);
  }
  XML_SetUserData(parser.get(), &reader);
  XML_SetElementHandler(
      parser.get(),
      [](void* data, const XML_Char* name, const XML_Char**) {
        static_cast<PageReader*>(data)->start(name);
      },
      [](void* data, const XML_Char*) {
        static_cast<PageReader*>(data)->end();
      });
  XML_SetCharacterDataHandler(parser.get(),
                              [](void* data, const XML_Char* text, int length) {
                                auto* reader = static_cast<PageReader*>(data);
                                if (reader->reading != Field::kNone)
                                  reader->text.append(text, length);
                              });
  bool parsed = XML_Parse(parser.get(), xml.data(),
                          static_cast<int>(xml.size()), 1) == XML_STATUS_OK;
  RecordPage& page = reader.page;
  std::optional<std::string>& name = reader.at(Field::kName);
  if (!parsed || !reader.root_seen || !name) {
    page.unreadable = !parsed;
    page.irregular = true;  // the storage client raises its own error
    return std::move(page);
  }
  page.bucket = std::move(*name);
  std::optional<std::string>& encoding = reader.at(Field::kEncodingType);
  bool url = encoding && *encoding == "url";
  if (url) {
    for (RecordPage::Record& record : page.records) {
      record.key = url_decode(record.key);
    }
  }
  std::optional<std::string>& truncated = reader.at(Field::kIsTruncated);
  page.truncated = truncated && is_true(*truncated);
  // As minio.datatypes.parse_list_objects picks the continuation.
  std::optional<std::string> next =
      std::move(reader.at(Field::kNextContinuationToken));
  for (Field field : {Field::kNextKeyMarker, Field::kNextMarker}) {
    const std::optional<std::string>& marker = reader.at(field);
    // NextKeyMarker stands over a continuation token; NextMarker does not.
    if (marker && (field == Field::kNextKeyMarker || !next)) {
      next = url && !marker->empty() ? url_decode(*marker) : *marker;
    }
  }
  if (!next && page.truncated && reader.last_key) {
    next = url ? url_decode(*reader.last_key) : *reader.last_key;
  }
  page.next = std::move(next);
  if (page.irregular) page.records.clear();
  return std::move(page);
}

std::optional<std::string> guess_next_token(const std::string& xml) {
  static const std::string opening = "<NextContinuationToken>";
  static const std::string closing = "</NextContinuationToken>";
  if (xml.find("<IsTruncated>true</IsTruncated>") == std::string::npos) {
    return std::nullopt;
  }
  std::size_t from = xml.find(opening);
  if (from == std::string::npos) return std::nullopt;
  from += opening.size();
  std::size_t to = xml.find('<', from);
  if (to == std::string::npos ||
      xml.compare(to, closing.size(), closing) != 0) {
    return std::nullopt;
  }
  std::string token = xml.substr(from, to - from);
  if (token.empty() || token.find('&') != std::string::npos) {
    return std::nullopt;
  }
  return token;
}

std::string url_decode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
               hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16 +
                               hex_value(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<Document> parse_document(const std::string& xml,
                                       const std::string& child) {
  Document document;
  bool ok =
      Reader().parse(xml, document.root,
                     [&](const std::string& path, const std::string& text) {
                       if (path == child) document.text = text;
                     });
  if (!ok) return std::nullopt;
  return document;
}

std::optional<std::vector<UnfinishedUpload>> parse_uploads(
    const std::string& xml) {
  std::vector<UnfinishedUpload> uploads;
  UnfinishedUpload entry;
  std::string root;
  bool ok = Reader().parse(
      xml, root, [&](const std::string& path, const std::string& text) {
        if (path == "Upload/Key") {
          entry.key = text;
        } else if (path == "Upload/UploadId") {
          entry.upload_id = text;
        } else if (path == "Upload/Initiated") {
          entry.initiated = text;
        } else if (path == "Upload") {
          uploads.push_back(std::move(entry));
          entry = UnfinishedUpload();
        }
      });
  if (!ok || root != "ListMultipartUploadsResult") return std::nullopt;
  return uploads;
}

std::optional<PartPage> parse_parts(const std::string& xml) {
  PartPage page;
  StoredPart part;
  std::string root, marker;
  bool truncated = false, readable = true;
  bool ok = Reader().parse(
      xml, root, [&](const std::string& path, const std::string& text) {
        char* end = nullptr;
        if (path == "Part/PartNumber") {
          long number = std::strtol(text.c_str(), &end, 10);
          readable = readable && *end == '\0' && number > 0 && number <= 10000;
          part.number = static_cast<int>(number);
        } else if (path == "Part/ETag") {
          part.etag = text;
        } else if (path == "Part/LastModified") {
          part.last_modified = text;
        } else if (path == "Part/Size") {
          part.size = std::strtoull(text.c_str(), &end, 10);
          readable = readable && !text.empty() && *end == '\0';
        } else if (path == "Part") {
          page.parts.push_back(std::move(part));
          part = StoredPart();
        } else if (path == "IsTruncated") {
          truncated = text == "true";
        } else if (path == "NextPartNumberMarker") {
          marker = text;
        }
      });
  if (!ok || !readable || root != "ListPartsResult") return std::nullopt;
  if (truncated) {
    if (marker.empty()) return std::nullopt;
    page.next = marker;
  }
  return page;
}

}  // namespace zarnel::transfer
