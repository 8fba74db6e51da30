// varo-publish: makes the signing key and the update list of a release.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "tools/publish/Publisher.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  try {
    return varo::publish::RunPublisher(arguments, std::cout, std::cerr);
  } catch (const std::exception& failure) {
    // Only libcrypto out of memory or broken gets here.
    std::cerr << "varo-publish: " << failure.what() << "\n";
    return varo::publish::kExitFailed;
  }
}
