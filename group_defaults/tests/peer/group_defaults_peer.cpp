// Drives the shared group suite from a second process, for the cross-process tests.
// Usage: group_defaults_peer write <key prefix> <count>   (writes <prefix>0 .. <prefix>N-1)
//        group_defaults_peer remove-all
#include <cstdlib>
#include <cstring>
#include <string>

#include "group_defaults/group_defaults.h"
#include "platform/foundation/defaults.h"

int main(int argc, char** argv) {
  using brellis::group_defaults::GroupDefaults;
  if (argc >= 2 && std::strcmp(argv[1], "remove-all") == 0) {
    auto defaults = GroupDefaults::init(GroupDefaults::name);
    if (!defaults) return 3;
    defaults->removeAll();
    return 0;
  }
  if (argc != 4 || std::strcmp(argv[1], "write") != 0) return 2;
  auto suite = brellis::platform::foundation::Defaults::open(GroupDefaults::name);
  if (!suite) return 3;
  int count = std::atoi(argv[3]);
  for (int i = 0; i < count; ++i) suite->set(std::string(argv[2]) + std::to_string(i), int64_t(i));
  return 0;
}
