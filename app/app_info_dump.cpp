#include <ostream>
#include <stdexcept>

namespace fw::app {

// Replaced by the application info report once it exists.
void dump_app_info(std::ostream &) { throw std::runtime_error("dump-app-info is not available in this build"); }

} // namespace fw::app
