// The build defines both for this file alone, so a new commit recompiles
// only it.
#include "settings/version.hpp"

const char* const shim_version = ZELK_VERSION;
const char* const shim_commit = ZELK_COMMIT;
