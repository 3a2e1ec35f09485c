// Fatal internal errors in the fuzz builds: thrown without the report on standard error. The
// targets provoke some on purpose, and report any other that escapes with its message and place.
#include "index/fatal.hpp"

namespace vostrel {

void fatal(std::string_view message, std::source_location where) {
  throw FatalError(std::string(message), where);
}

}  // namespace vostrel
