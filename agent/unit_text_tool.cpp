// Build step: `trellisant-unit-text AGENT OUT` writes the packaged user unit starting AGENT.
#include <iostream>

#include "error.h"
#include "fileio.h"
#include "platform/unit_text.h"

int main(int argc, char** argv) {
  using namespace trellisant;
  if (argc != 3) {
    std::cerr << "usage: trellisant-unit-text AGENT OUT\n";
    return 2;
  }
  try {
    writeAtomically(argv[2], userUnitText(argv[1]), 0644);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "trellisant-unit-text: " << userMessage(error) << "\n";
    return 1;
  }
}
