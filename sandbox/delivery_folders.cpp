#include "delivery_folders.h"

#include <algorithm>

#include "error.h"
#include "fileio.h"
#include "json.h"

namespace trellisant::sandbox {
namespace {

namespace fs = std::filesystem;

// The description file's fields; absent keys stay empty.
DeliveryDescription readDescription(const fs::path& folder) {
  DeliveryDescription description;
  fs::path file = folder / kDescriptionFile;
  std::error_code missing;
  if (!fs::exists(file, missing)) return description;
  auto text = readFile(file);
  if (!text) throw PlatformError("Cannot read " + file.string() + ".");
  Json json;
  try {
    json = parseJson(*text);
  } catch (const std::exception& error) {
    throw PlatformError(file.string() + " is not valid JSON: " + error.what());
  }
  if (!json.is_object()) throw PlatformError(file.string() + " must hold a JSON object.");
  auto take = [&](const char* key, std::string& into) {
    auto it = json.find(key);
    if (it == json.end()) return;
    if (!it->is_string()) throw PlatformError(file.string() + ": \"" + key + "\" must be a string.");
    into = it->get<std::string>();
  };
  take("id", description.id);
  take("company", description.company);
  take("project", description.project);
  take("name", description.name);
  return description;
}

std::string firstOf(const std::string& a, const std::string& b, const std::string& fallback) {
  if (!a.empty()) return a;
  if (!b.empty()) return b;
  return fallback;
}

}  // namespace

SandboxDelivery describedDelivery(const fs::path& folder, const DeliveryDescription& given) {
  std::error_code error;
  if (!fs::is_directory(folder, error))
    throw PlatformError(folder.string() + " is not a folder of files.");
  DeliveryDescription file = readDescription(folder);
  std::string name = fs::absolute(folder).lexically_normal().filename().string();
  if (name.empty()) name = fs::absolute(folder).lexically_normal().parent_path().filename().string();
  SandboxDelivery delivery = deliveryFromFolder(
      folder, firstOf(given.id, file.id, ""), firstOf(given.company, file.company, "Sandbox Company"),
      firstOf(given.project, file.project, "Sandbox Project"), firstOf(given.name, file.name, name));
  std::erase_if(delivery.files,
                [](const SandboxFile& f) { return f.relativePath == kDescriptionFile; });
  return delivery;
}

std::vector<SandboxDelivery> deliveriesBelow(const fs::path& parent) {
  std::vector<fs::path> folders;
  for (const auto& entry : fs::directory_iterator(parent)) {
    if (entry.is_directory()) folders.push_back(entry.path());
  }
  std::sort(folders.begin(), folders.end());
  std::vector<SandboxDelivery> deliveries;
  for (const auto& folder : folders) deliveries.push_back(describedDelivery(folder));
  return deliveries;
}

}  // namespace trellisant::sandbox
