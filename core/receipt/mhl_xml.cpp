#include "receipt/mhl_xml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <ctime>
#include <memory>

#include "text.h"

namespace trellisant::Mhl {
namespace {

constexpr std::string_view kManifestNamespace = "urn:ASC:MHL:v2.0";
constexpr std::string_view kChainNamespace = "urn:ASC:MHL:DIRECTORY:v2.0";
constexpr std::array<std::string_view, 3> kActions = {"original", "verified", "failed"};

// Text safe inside an element or a double-quoted attribute. XML 1.0 cannot carry most control
// characters even as references, so they become U+FFFD.
std::string escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
          out += "\xEF\xBF\xBD";
        else
          out += c;
    }
  }
  return out;
}

std::string utc(std::int64_t unixSeconds, const char* format) {
  std::time_t time = static_cast<std::time_t>(unixSeconds);
  std::tm parts{};
  ::gmtime_r(&time, &parts);
  char text[40];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

struct DocumentFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using Document = std::unique_ptr<xmlDoc, DocumentFree>;

// No network, no external entities, no DTD: only the bytes given.
Document parse(std::string_view xml) {
  if (xml.size() > static_cast<std::size_t>(INT32_MAX)) return nullptr;
  return Document(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

bool named(const xmlNode* node, std::string_view name, std::string_view ns) {
  return node && node->type == XML_ELEMENT_NODE && name == reinterpret_cast<const char*>(node->name) &&
         node->ns && ns == reinterpret_cast<const char*>(node->ns->href);
}

std::vector<const xmlNode*> children(const xmlNode* parent, std::string_view name, std::string_view ns) {
  std::vector<const xmlNode*> out;
  for (const xmlNode* child = parent ? parent->children : nullptr; child; child = child->next)
    if (named(child, name, ns)) out.push_back(child);
  return out;
}

const xmlNode* child(const xmlNode* parent, std::string_view name, std::string_view ns) {
  auto all = children(parent, name, ns);
  return all.empty() ? nullptr : all.front();
}

std::string textOf(const xmlNode* node) {
  xmlChar* content = node ? xmlNodeGetContent(node) : nullptr;
  std::string text = content ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return text;
}

std::optional<std::string> attribute(const xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  if (!value) return std::nullopt;
  std::string text = reinterpret_cast<const char*>(value);
  xmlFree(value);
  return text;
}

// Hash values and ids may be wrapped over lines.
std::string withoutSpace(std::string text) {
  std::erase_if(text, [](unsigned char c) { return std::isspace(c) != 0; });
  return text;
}

std::string trimmed(const std::string& text) {
  auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::string_view toString(Action action) { return kActions[static_cast<std::size_t>(action)]; }

std::string dateTime(std::int64_t unixSeconds) { return utc(unixSeconds, "%Y-%m-%dT%H:%M:%SZ"); }
std::string nameStamp(std::int64_t unixSeconds) { return utc(unixSeconds, "%Y-%m-%d_%H%M%SZ"); }

std::string manifestName(std::int64_t sequence, std::string_view folder, std::string_view stamp) {
  std::string number = std::to_string(sequence);
  if (number.size() < 4) number.insert(0, 4 - number.size(), '0');
  return number + "_" + std::string(folder) + "_" + std::string(stamp) + ".mhl";
}

std::optional<std::int64_t> sequenceOf(std::string_view name) {
  auto underscore = name.find('_');
  if (underscore == std::string_view::npos || underscore < 4 || !name.ends_with(".mhl")) return std::nullopt;
  auto number = name.substr(0, underscore);
  if (!std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  return parseInt64(number);
}

std::string manifestXml(const Manifest& manifest) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<hashlist version=\"2.0\" xmlns=\"" +
                    std::string(kManifestNamespace) + "\">\n  <creatorinfo>\n    <creationdate>" +
                    escaped(manifest.creationDate) + "</creationdate>\n    <hostname>" + escaped(manifest.hostname) +
                    "</hostname>\n    <tool version=\"" + escaped(manifest.toolVersion) + "\">" +
                    escaped(manifest.tool) + "</tool>\n";
  if (!manifest.comment.empty()) xml += "    <comment>" + escaped(manifest.comment) + "</comment>\n";
  xml += "  </creatorinfo>\n  <processinfo>\n    <process>" + escaped(manifest.process) +
         "</process>\n  </processinfo>\n  <hashes>\n";
  for (const FileEntry& file : manifest.files) {
    xml += "    <hash>\n      <path size=\"" + std::to_string(file.size) + "\"";
    if (!file.lastModification.empty())
      xml += " lastmodificationdate=\"" + escaped(file.lastModification) + "\"";
    xml += ">" + escaped(file.path) + "</path>\n";
    std::vector<Hash> ordered = file.hashes;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const Hash& a, const Hash& b) { return a.format < b.format; });
    for (const Hash& hash : ordered) {
      std::string name(toString(hash.format));
      xml += "      <" + name + " action=\"" + std::string(toString(hash.action)) + "\">" + escaped(hash.value) +
             "</" + name + ">\n";
    }
    xml += "    </hash>\n";
  }
  return xml + "  </hashes>\n</hashlist>\n";
}

std::optional<std::string> chainWith(std::string_view chain, const ChainEntry& entry) {
  std::string record = "<hashlist sequencenr=\"" + std::to_string(entry.sequence) + "\">\n    <path>" +
                       escaped(entry.path) + "</path>\n    <c4>" + escaped(entry.c4) + "</c4>\n  </hashlist>\n";
  if (chain.empty())
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ascmhldirectory xmlns=\"" + std::string(kChainNamespace) +
           "\">\n  " + record + "</ascmhldirectory>\n";
  auto before = parseChain(chain);
  if (!before) return std::nullopt;
  // The new record goes just before the root's end tag; a prefixed root gets a record that
  // names its namespace itself.
  auto end = chain.rfind("</");
  if (end == std::string_view::npos) return std::nullopt;
  if (chain.substr(end, 18) != "</ascmhldirectory>")
    record.insert(std::string_view("<hashlist").size(), " xmlns=\"" + std::string(kChainNamespace) + "\"");
  std::string out = std::string(chain.substr(0, end)) + "  " + record + std::string(chain.substr(end));
  auto after = parseChain(out);
  if (!after || after->size() != before->size() + 1 || after->back().c4 != entry.c4) return std::nullopt;
  return out;
}

std::optional<Manifest> parseManifest(std::string_view xml) {
  Document doc = parse(xml);
  const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!named(root, "hashlist", kManifestNamespace)) return std::nullopt;
  Manifest manifest;
  const xmlNode* creator = child(root, "creatorinfo", kManifestNamespace);
  manifest.creationDate = trimmed(textOf(child(creator, "creationdate", kManifestNamespace)));
  manifest.hostname = trimmed(textOf(child(creator, "hostname", kManifestNamespace)));
  const xmlNode* tool = child(creator, "tool", kManifestNamespace);
  manifest.tool = trimmed(textOf(tool));
  manifest.toolVersion = tool ? attribute(tool, "version").value_or("") : "";
  manifest.comment = trimmed(textOf(child(creator, "comment", kManifestNamespace)));
  manifest.process =
      trimmed(textOf(child(child(root, "processinfo", kManifestNamespace), "process", kManifestNamespace)));
  for (const xmlNode* hash : children(child(root, "hashes", kManifestNamespace), "hash", kManifestNamespace)) {
    const xmlNode* path = child(hash, "path", kManifestNamespace);
    if (!path) return std::nullopt;
    FileEntry file;
    file.path = textOf(path);
    file.size = parseInt64(attribute(path, "size").value_or("")).value_or(-1);
    file.lastModification = attribute(path, "lastmodificationdate").value_or("");
    for (const xmlNode* node = hash->children; node; node = node->next) {
      if (!named(node, reinterpret_cast<const char*>(node->name), kManifestNamespace)) continue;
      auto format = parseHashFormat(reinterpret_cast<const char*>(node->name));
      if (!format) continue;
      std::string action = attribute(node, "action").value_or("original");
      auto known = std::find(kActions.begin(), kActions.end(), action);
      // Hex compares in any case; a C4 id is Base58, where case matters.
      std::string value = withoutSpace(textOf(node));
      if (*format != HashFormat::c4) value = asciiLowercase(value);
      file.hashes.push_back({*format, value,
                             known == kActions.end() ? Action::original : static_cast<Action>(known - kActions.begin())});
    }
    manifest.files.push_back(std::move(file));
  }
  return manifest;
}

std::optional<std::vector<ChainEntry>> parseChain(std::string_view xml) {
  Document doc = parse(xml);
  const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!named(root, "ascmhldirectory", kChainNamespace)) return std::nullopt;
  std::vector<ChainEntry> entries;
  for (const xmlNode* hashlist : children(root, "hashlist", kChainNamespace)) {
    auto sequence = parseInt64(attribute(hashlist, "sequencenr").value_or(""));
    const xmlNode* path = child(hashlist, "path", kChainNamespace);
    const xmlNode* c4 = child(hashlist, "c4", kChainNamespace);
    if (!sequence || !path || !c4) return std::nullopt;
    entries.push_back({*sequence, trimmed(textOf(path)), withoutSpace(textOf(c4))});
  }
  return entries;
}

}  // namespace trellisant::Mhl
