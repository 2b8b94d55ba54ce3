// The shim's version and the commit it was built from, both set by the
// build from the one place the version is kept.
#pragma once

#ifndef ZELK_VERSION
#define ZELK_VERSION "0.0.0"
#endif
#ifndef ZELK_COMMIT
#define ZELK_COMMIT "unknown"
#endif

inline constexpr const char* shim_version = ZELK_VERSION;
inline constexpr const char* shim_commit = ZELK_COMMIT;
