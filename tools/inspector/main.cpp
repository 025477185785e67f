#include <iostream>
#include <string>
#include <vector>

#include "tools/inspector/Inspector.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return tools::runInspector(args, std::cin, std::cout, std::cerr);
}
