#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "store.h"

namespace trellisant::sandbox {

// How a folder of files is offered as a delivery. Empty fields take the folder's description
// file, then the defaults: "Sandbox Company", "Sandbox Project", the folder's name, a new id.
struct DeliveryDescription {
  std::string id;
  std::string company;
  std::string project;
  std::string name;
};

// The optional description file inside a delivery folder: a JSON object with any of the
// string keys "id", "company", "project" and "name". It is not offered as a file.
inline constexpr const char* kDescriptionFile = ".delivery.json";

// The folder's files as one delivery. `given` wins over the description file. Throws
// PlatformError when the folder cannot be read or its description file is not valid.
SandboxDelivery describedDelivery(const std::filesystem::path& folder,
                                  const DeliveryDescription& given = {});

// Every subfolder of `parent` as one delivery, in the order of the folder names.
std::vector<SandboxDelivery> deliveriesBelow(const std::filesystem::path& parent);

}  // namespace trellisant::sandbox
