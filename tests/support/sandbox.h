// Tests that drive the kernel, the shell or a peer run in a network and mount
// namespace of their own: the client code may configure usb0 and write the
// page-cache file. Binaries linked with rc_sandbox_main enter one for each
// test; decisions are tested without.
#pragma once

#include <string>

namespace testsupport {

// Moves this process into fresh network and mount namespaces (mounts made
// private), brings lo up, hides /proc/sys/vm/drop_caches behind a file of
// the test's own and gives it an empty /run (the client's lock is there).
// Aborts when that is impossible: nothing may touch the host.
void enterSandbox();

// Runs a shell command line (in the sandbox); its exit status, -1 on failure.
int sh(const std::string &cmd);

// Creates usb0 (index 40) as one end of a veth whose other end (mgr0, index
// 41) carries 10.10.10.2/24, both up; usb0 gets clientAddr/24 if one is given.
void makeUsbLink(const std::string &clientAddr = "");

} // namespace testsupport
