#include "url.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>

#include "error.h"

namespace trellisant {
namespace {

struct UrlHandle {
  CURLU* handle = curl_url();
  ~UrlHandle() { curl_url_cleanup(handle); }
  std::optional<std::string> part(CURLUPart which) const {
    char* value = nullptr;
    if (curl_url_get(handle, which, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
    std::string out(value);
    curl_free(value);
    return out;
  }
};

std::optional<std::string> schemeOf(std::string_view text) {
  auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  if (!std::isalpha(static_cast<unsigned char>(text[0]))) return std::nullopt;
  for (std::size_t i = 1; i < colon; ++i) {
    char c = text[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
      return std::nullopt;
  }
  return std::string(text.substr(0, colon));
}

bool hasInvalidCharacters(std::string_view text) {
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7f || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' ||
        c == '`' || c == '{' || c == '|' || c == '}')
      return true;
  }
  return false;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  if (text.empty() || hasInvalidCharacters(text)) return std::nullopt;
  Url url;
  url.text = std::string(text);
  url.scheme = schemeOf(text);
  if (!url.scheme) {
    // A relative reference: no scheme and no host.
    auto q = text.find('?');
    url.path = std::string(text.substr(0, q));
    if (q != std::string_view::npos) url.query = std::string(text.substr(q + 1));
    return url;
  }
  std::string_view rest = text.substr(url.scheme->size() + 1);
  if (rest.substr(0, 2) != "//") {
    // scheme:path, such as mailto: — no authority.
    url.path = std::string(rest);
    return url;
  }
  UrlHandle h;
  std::string copy(text);
  if (curl_url_set(h.handle, CURLUPART_URL, copy.c_str(),
                   CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) != CURLUE_OK)
    return std::nullopt;
  // curl lower-cases nothing but the scheme; take the host as written.
  url.host = h.part(CURLUPART_HOST);
  if (url.host && url.host->empty()) url.host.reset();
  if (auto port = h.part(CURLUPART_PORT)) url.port = std::stoi(*port);
  url.user = h.part(CURLUPART_USER);
  url.password = h.part(CURLUPART_PASSWORD);
  url.path = h.part(CURLUPART_PATH).value_or("");
  url.query = h.part(CURLUPART_QUERY);
  // curl adds "/" to an empty path; keep the path as written.
  auto authorityEnd = rest.find_first_of("/?#", 2);
  if (authorityEnd == std::string_view::npos || rest[authorityEnd] != '/') url.path.clear();
  return url;
}

std::string Url::origin() const {
  std::string out = scheme.value_or("") + "://" + host.value_or("");
  if (port) out += ":" + std::to_string(*port);
  return out;
}

bool Url::sameOrigin(const Url& other) const {
  return scheme == other.scheme && host == other.host && port == other.port;
}

std::optional<std::string> resolveReference(const std::string& base, const std::string& reference) {
  UrlHandle url;
  if (curl_url_set(url.handle, CURLUPART_URL, base.c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.handle, CURLUPART_URL, reference.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    return std::nullopt;
  return url.part(CURLUPART_URL);
}

std::string Url::onOrigin(std::string_view absolutePath) const {
  return origin() + std::string(absolutePath);
}

std::vector<std::pair<std::string, std::optional<std::string>>> Url::queryItems() const {
  std::vector<std::pair<std::string, std::optional<std::string>>> items;
  if (!query) return items;
  std::string_view q = *query;
  while (true) {
    auto amp = q.find('&');
    std::string_view item = q.substr(0, amp);
    auto eq = item.find('=');
    if (eq == std::string_view::npos) {
      items.emplace_back(percentDecode(item), std::nullopt);
    } else {
      items.emplace_back(percentDecode(item.substr(0, eq)), percentDecode(item.substr(eq + 1)));
    }
    if (amp == std::string_view::npos) break;
    q = q.substr(amp + 1);
  }
  return items;
}

std::optional<std::string> Url::firstQueryValue(std::string_view name) const {
  for (auto& [key, value] : queryItems()) {
    if (key == name) return value;
  }
  return std::nullopt;
}

namespace {

struct CurlFree {
  void operator()(char* text) const { curl_free(text); }
};

}  // namespace

std::string percentEncode(std::string_view text) {
  // libcurl escapes all but the unreserved characters (letters, digits, "-._~").
  std::unique_ptr<char, CurlFree> escaped(curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size())));
  if (!escaped) throw PlatformError("Out of memory.");
  return escaped.get();
}

std::string percentDecode(std::string_view text) {
  int length = 0;
  std::unique_ptr<char, CurlFree> raw(
      curl_easy_unescape(nullptr, text.data(), static_cast<int>(text.size()), &length));
  if (!raw) throw PlatformError("Out of memory.");
  return std::string(raw.get(), static_cast<std::size_t>(length));
}

std::string formEncode(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string out;
  for (auto& [name, value] : fields) {
    if (!out.empty()) out.push_back('&');
    out += percentEncode(name) + "=" + percentEncode(value);
  }
  return out;
}

}  // namespace trellisant
