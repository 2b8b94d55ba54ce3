// Where the settings come from: the built-in defaults, the ini file beside
// the executable, the command line and the environment, all read here and
// nowhere else, through one table of settings.
#pragma once
#include <cstddef>

#include "platform/log_file.hpp"
#include "settings/settings.hpp"

inline constexpr int default_port = 8080;

// Everything start-up builds from the settings.
struct loaded_settings {
    shim_settings shim;      // what every connection reads
    shim_settings embed;     // the embeddings upstream's; shim.embed points here when it is configured
    log_output request_log;  // owns the log file; shim.request_log points here when the log is on
    buf persona_storage;     // the persona file's text; shim.persona points here when one is read
    int port = default_port;
    char ini_path[260] = {};  // where the ini file is looked for
};

// The line that stops start-up (printed after "zelk-shim: ", exit status 2).
struct startup_error {
    char line[2048] = {};
};

// Fills CFG_URL, CFG_KEY, CFG_MODEL and `out` from every source, each later
// source winning when it gives a non-empty value: built-in defaults, the ini
// file beside the executable, the command line, the environment. False with
// `err` when a value cannot be used (start-up stops).
bool load_settings(int argc, char** argv, loaded_settings& out, startup_error& err);

// The same from an explicit ini file (tests).
bool load_settings_from(const char* ini_path, int argc, char** argv, loaded_settings& out, startup_error& err);
