// Linked into every test program: daemons and finders started by tests attach no BPF program (an empty
// COM_MOVRI_BPF_CGROUP) unless a test names a cgroup of its own, so no test ever attaches to the root.
#include <cstdlib>

namespace {
const int no_root_cgroup = ::setenv("COM_MOVRI_BPF_CGROUP", "", 0);
} // namespace
