// Every fuzzer process runs in mount and network namespaces of its own, so
// that the client code it drives cannot touch the host.
#pragma once

namespace fuzzsupport {

// Moves this process into fresh mount and network namespaces (mounts made
// private), hides /proc/sys/vm/drop_caches behind a temporary file and sends
// standard output to /dev/null. Aborts when any step fails.
void enterSandbox();

} // namespace fuzzsupport
