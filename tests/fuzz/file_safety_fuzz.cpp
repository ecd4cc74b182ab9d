// Names chosen by the server (relative paths, company, project and transfer names) before they
// become folder and file names.
#include <algorithm>

#include "download/file_safety.h"
#include "error.h"
#include "fuzz_support.h"

using namespace trellisant;

namespace {

bool forbidden(char c) {
  return c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzz::text(data, size);

  try {
    auto pieces = FileSafety::components(input);
    fuzz::require(!pieces.empty(), "a path has at least one name");
    for (const auto& piece : pieces) {
      fuzz::require(FileSafety::safeName(piece), "every returned name is safe");
      fuzz::require(piece.size() <= 240, "names fit in 240 bytes");
    }
  } catch (const TrellisantError& error) {
    fuzz::require(error.message() == "This file has an unsafe destination name.",
                  "components fails only with the unsafe-name message");
  }

  std::string label = FileSafety::label(input);
  fuzz::require(!label.empty() && label != "." && label != "..", "label is a usable name");
  fuzz::require(std::none_of(label.begin(), label.end(), forbidden),
                "label holds no separator or control");

  // The downloader looks its folders up again under the names it opened them with.
  try {
    std::string name = FileSafety::component(label);
    fuzz::require(FileSafety::safeName(name) && FileSafety::component(name) == name,
                  "a folder name is made the same again when its folder is opened");
  } catch (const TrellisantError& error) {
    fuzz::require(error.message() == "This file has an unsafe destination name.",
                  "component fails only with the unsafe-name message");
  }
  return 0;
}
