// Raising fatal internal errors.
#include "index/fatal.hpp"

#include <cstdio>

namespace vostrel {

void fatal(std::string_view message, std::source_location where) {
  std::fprintf(stderr, "Vostrel: internal failure at %s:%u: %.*s\n", where.file_name(),
               static_cast<unsigned>(where.line()), static_cast<int>(message.size()),
               message.data());
  throw FatalError(std::string(message), where);
}

}  // namespace vostrel
