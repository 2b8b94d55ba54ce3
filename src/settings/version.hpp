// The shim's version and the commit it was built from, both set by the
// build from the one place the version is kept (CMakeLists.txt).
#pragma once

extern const char* const shim_version;
extern const char* const shim_commit;
