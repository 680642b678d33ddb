#include "transfer/xml.hpp"

#include <expat.h>

#include <cstdlib>
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

}  // namespace

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

std::optional<ListPage> parse_list_page(const std::string& xml) {
  ListPage page;
  ListedObject current;
  bool url_encoded = false;
  std::string root;
  bool ok = Reader().parse(
      xml, root, [&](const std::string& path, const std::string& text) {
        if (path == "Contents/Key") {
          current.key = text;
        } else if (path == "Contents/ETag") {
          current.etag = text;
        } else if (path == "Contents/Size") {
          current.size = std::strtoull(text.c_str(), nullptr, 10);
        } else if (path == "Contents") {
          page.objects.push_back(std::move(current));
          current = ListedObject();
        } else if (path == "IsTruncated") {
          page.truncated = text == "true";
        } else if (path == "NextContinuationToken") {
          page.next_token = text;
        } else if (path == "EncodingType") {
          url_encoded = text == "url";
        }
      });
  if (!ok || root != "ListBucketResult") return std::nullopt;
  if (url_encoded) {
    for (ListedObject& object : page.objects)
      object.key = url_decode(object.key);
  }
  return page;
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

}  // namespace zarnel::transfer
