// Uses the installed headers and library the way an app would.
#include <platform/Value.h>

#include <cstdio>

int main() {
  platform::Value v = platform::Dictionary{{"level", 5}, {"hero", "mage"}};
  if (v.dictionary()->size() != 2) return 1;
  std::printf("consumer: %s\n", v.description().c_str());
  return 0;
}
