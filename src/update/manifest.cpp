#include "update/manifest.h"

#include "config/json_parser.h"
#include "config/json_value.h"
#include "platform/text.h"

namespace kp {

namespace {

std::string StringMember(const JsonValue& object, std::string_view key) {
  const JsonValue& value = FindMember(object, key);
  return value.type == JsonType::String ? value.text : std::string();
}

}  // namespace

std::vector<std::wstring> ParseManifestUrls(std::string_view bytes) {
  std::vector<std::wstring> urls;
  const std::optional<JsonValue> document = ParseJson(bytes);
  if (!document) return urls;
  for (const JsonValue& element : FindMember(*document, "manifestUrls").elements) {
    if (element.type == JsonType::String && !element.text.empty()) urls.push_back(Utf8ToWide(element.text));
  }
  return urls;
}

std::optional<Manifest> ParseManifest(std::string_view body) {
  const std::optional<JsonValue> document = ParseJson(body);
  if (!document) return std::nullopt;
  return Manifest{StringMember(*document, "version"), StringMember(*document, "notes")};
}

}  // namespace kp
