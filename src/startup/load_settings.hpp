// Where the settings come from: the built-in defaults, the ini file beside
// the executable, the environment and the command line.
#pragma once
#include <cstddef>

#include "platform/log_file.hpp"
#include "settings/settings.hpp"

inline constexpr int default_port = 8080;

// Parses a port value: a whole decimal number from 0 to 65535, nothing else.
bool parse_port(const char* text, int& port);

struct port_setting {
    int port = default_port;
    const char* bad_value = nullptr;  // the offending text when a value was not a port
};

// Fills the settings from the built-in defaults, the ini file beside the
// executable and the environment, each later source winning with a
// non-empty value; the port from "--port"/"-p" and then GARVO_SHIM_PORT.
port_setting load_settings(int argc, char** argv);

// Only the settings part of load_settings, from an explicit ini path (tests).
void load_settings_from(const char* ini_path);

// The origins setting: ini key "origins", then ZELK_SHIM_ORIGINS when
// non-empty. False when an entry is not an origin; `problem` names it.
bool load_origins(origin_list& out, error_text& problem);

// The request log setting: empty or "0" is off, "1" or "stderr" standard
// error, anything else a file that lines are appended to. False with an
// error text naming the file when it cannot be opened.
bool open_request_log(const char* value, log_output& out, error_text& err);
