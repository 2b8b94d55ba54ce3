#include "startup/load_settings.hpp"

#include <cstring>
#include <string_view>

#include "platform/host.hpp"
#include "relay/attempts.hpp"
#include "settings/proxy_url.hpp"
#include "text/ascii.hpp"
#include "text/bounded.hpp"
#include "text/host_port.hpp"

namespace {

struct settings_build {
    loaded_settings& out;
    startup_error& err;
};

using take_value = bool (*)(std::string_view value, settings_build& b);

constexpr size_t log_path_room = 511;

// One row per setting: where it is read and what its value becomes. Adding
// a setting is one row here and one line of --help.
struct setting_row {
    const char* ini_key;     // in section [shim]; null: not read from the ini file
    const char* env[2];      // the first one set and non-empty counts
    const char* options[2];  // command-line options followed by the value
    bool each_value;         // every value given is taken (and must be good), not only the last
    take_value take;
    size_t room;             // the longest value taken, from any source; 0: no limit of its own
};

// What an ini value is read into when its row sets no room: more than any
// value of those rows can usefully hold.
constexpr size_t ini_default_room = 1023;

// Stored as given, never cut: a longer value was refused before this.
template <auto& area>
bool take_text(std::string_view value, settings_build&) {
    bformat(area, "%.*s", static_cast<int>(value.size()), value.data());
    return true;
}

bool take_port(std::string_view value, settings_build& b) {
    uint16_t port;
    if (!parse_port(value, 0, 65535, port)) {
        bformat(b.err.line, "bad port value \"%.*s\" (want a whole number from 0 to 65535)",
                static_cast<int>(value.size()), value.data());
        return false;
    }
    b.out.port = port;
    return true;
}

bool take_debug(std::string_view, settings_build& b) {
    b.out.shim.debug_copy = true;  // any non-empty value
    return true;
}

bool take_ca_bundle(std::string_view value, settings_build& b) {
    bformat(b.out.shim.ca_bundle, "%.*s", static_cast<int>(value.size()), value.data());
    return true;
}

bool take_origins(std::string_view value, settings_build& b) {
    std::string_view bad;
    if (parse_origin_list(value, b.out.shim.origins, bad)) return true;
    bformat(b.err.line,
            "bad origins entry \"%.*s\" (want an origin such as https://app.example, a scheme with * such as "
            "chrome-extension://*, null or *)",
            static_cast<int>(bad.size() < 160 ? bad.size() : 160), bad.data());
    return false;
}

bool take_proxy(std::string_view value, settings_build& b) {
    error_text err;
    if (parse_proxy_url(value, b.out.shim.proxy, err)) return true;
    // Never the value itself: it may hold the proxy's password.
    bformat(b.err.line, "bad ZELK_SHIM_PROXY (ini key proxy): %s", err.s);
    return false;
}

// Compared with what callers send in a header line, so only characters
// every client sends as they are.
bool take_access_key(std::string_view value, settings_build& b) {
    for (char c : value)
        if (c <= ' ' || c > '~') {
            bformat(b.err.line, "bad ZELK_SHIM_ACCESS_KEY (ini key access_key): use printable ASCII without blanks");
            return false;
        }
    bformat(b.out.shim.access_key, "%.*s", static_cast<int>(value.size()), value.data());
    return true;
}

bool take_local_dialect(std::string_view value, settings_build& b) {
    if (value == "relay" || value == "full") {
        b.out.shim.local_full = value == "full";
        return true;
    }
    bformat(b.err.line, "bad ZELK_SHIM_LOCAL_DIALECT (ini key local_dialect): want relay or full");
    return false;
}

bool take_context_length(std::string_view value, settings_build& b) {
    unsigned long long n = 0;
    bool digits = !value.empty() && value.size() <= 9;
    for (char c : value) {
        digits &= c >= '0' && c <= '9';
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (digits && n >= 1 && n <= 100000000) {
        b.out.shim.context_length = static_cast<unsigned>(n);
        return true;
    }
    bformat(b.err.line, "bad ZELK_SHIM_CONTEXT_LENGTH (ini key context_length): want a whole number from 1 to 100000000");
    return false;
}

bool take_retries(std::string_view value, settings_build& b) {
    if (value.size() == 1 && value[0] >= '0' && value[0] <= '0' + static_cast<int>(retries_max)) {
        b.out.shim.retries = static_cast<unsigned>(value[0] - '0');
        return true;
    }
    bformat(b.err.line, "bad ZELK_SHIM_RETRIES (ini key retries): want a whole number from 0 to %u", retries_max);
    return false;
}

// A comma list of tools, vision, thinking (and completion, always reported).
bool take_capabilities(std::string_view value, settings_build& b) {
    unsigned caps = 0;
    for (size_t at = 0; at <= value.size();) {
        size_t comma = value.find(',', at);
        if (comma == std::string_view::npos) comma = value.size();
        std::string_view entry = ascii_trim_blanks(value.substr(at, comma - at));
        at = comma + 1;
        if (entry == "tools") caps |= capability_tools;
        else if (entry == "vision") caps |= capability_vision;
        else if (entry == "thinking") caps |= capability_thinking;
        else if (entry != "completion") {
            bformat(b.err.line,
                    "bad ZELK_SHIM_CAPABILITIES (ini key capabilities): want a comma list of completion, tools, vision, "
                    "thinking");
            return false;
        }
    }
    b.out.shim.model_capabilities = caps;
    return true;
}

// ---- The upstream's time limits and the persona ----

constexpr size_t persona_path_room = 511;

// A whole number of seconds from 1 to `max`, as milliseconds.
bool whole_seconds(std::string_view value, unsigned max, int& ms) {
    unsigned n = 0;
    if (value.empty() || value.size() > 4) return false;
    for (char c : value) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n < 1 || n > max) return false;
    ms = static_cast<int>(n) * 1000;
    return true;
}

bool take_connect_timeout(std::string_view value, settings_build& b) {
    if (whole_seconds(value, 300, b.out.shim.connect_timeout_ms)) return true;
    bformat(b.err.line,
            "bad ZELK_SHIM_CONNECT_TIMEOUT (ini key connect_timeout): want a whole number of seconds from 1 to 300");
    return false;
}

bool take_idle_timeout(std::string_view value, settings_build& b) {
    if (whole_seconds(value, 3600, b.out.shim.idle_timeout_ms)) return true;
    bformat(b.err.line, "bad ZELK_SHIM_IDLE_TIMEOUT (ini key idle_timeout): want a whole number of seconds from 1 to 3600");
    return false;
}

// "none", or a UTF-8 text file (a relative path beside the ini file, which
// is beside the executable) read once here; the rewrite of every request
// sends what is read now.
bool take_persona(std::string_view value, settings_build& b) {
    shim_settings& shim = b.out.shim;
    if (value == "none") {
        shim.persona = {};
        return true;
    }
    char path[sizeof b.out.ini_path + persona_path_room + 1];
    error_text why;
    buf bytes;
    if (!path_beside(b.out.ini_path, value, path, sizeof path)) {
        set_error(why, "the path is too long");
    } else {
        switch (read_small_file(path, persona_file_limit, bytes)) {
        case file_read::unreadable:
            set_error(why, "the file cannot be read (a relative path is taken beside the executable)");
            break;
        case file_read::too_large:
            set_error(why, "the file is larger than %zu bytes", persona_file_limit);
            break;
        case file_read::ok:
            if (persona_from_file_text(bytes.view(), b.out.persona_storage, shim.persona, why)) return true;
            break;
        }
    }
    bformat(b.err.line, "bad ZELK_SHIM_PERSONA (ini key persona): %s", why.s);
    return false;
}

// Empty or "0" is off, "1" or "stderr" standard error, anything else a file
// that lines are appended to.
bool take_log(std::string_view value, settings_build& b) {
    log_output& log = b.out.request_log;
    if (value == "0") return true;
    if (value == "1" || value == "stderr") {
        log_open_stderr(log);
    } else {
        char path[log_path_room + 1];
        bformat(path, "%.*s", static_cast<int>(value.size()), value.data());
        error_text err;
        if (!log_open_file(path, log, err)) {
            bformat(b.err.line, "ZELK_SHIM_LOG (ini key log): %s", err.s);
            return false;
        }
    }
    b.out.shim.request_log = &log;
    return true;
}

// Values are taken in this order, so a bad one stops start-up before a later
// row has done anything (the log file is opened last).
constexpr setting_row rows[] = {
    {"url", {"ZELK_SHIM_URL"}, {}, false, take_text<CFG_URL>, url_room},
    {"key", {"ZELK_SHIM_KEY"}, {}, false, take_text<CFG_KEY>, key_room},
    {"model", {"ZELK_SHIM_MODEL"}, {}, false, take_text<CFG_MODEL>, model_room},
    {"embed_model", {"ZELK_SHIM_EMBED_MODEL"}, {}, false, take_text<CFG_EMBED_MODEL>, model_room},
    {"embed_url", {"ZELK_SHIM_EMBED_URL"}, {}, false, take_text<CFG_EMBED_URL>, url_room},
    {"embed_key", {"ZELK_SHIM_EMBED_KEY"}, {}, false, take_text<CFG_EMBED_KEY>, key_room},
    {nullptr, {"GARVO_SHIM_PORT"}, {"--port", "-p"}, true, take_port, 0},
    {nullptr, {"ZELK_SHIM_DEBUG"}, {}, false, take_debug, 0},
    {nullptr, {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}, {}, false, take_ca_bundle, sizeof shim_settings::ca_bundle - 1},
    {"origins", {"ZELK_SHIM_ORIGINS"}, {}, false, take_origins, sizeof origin_list::text - 1},
    {"proxy", {"ZELK_SHIM_PROXY"}, {}, false, take_proxy, ini_default_room},
    {"local_dialect", {"ZELK_SHIM_LOCAL_DIALECT"}, {}, false, take_local_dialect, 0},
    {"access_key", {"ZELK_SHIM_ACCESS_KEY"}, {}, false, take_access_key, access_key_room},
    {"context_length", {"ZELK_SHIM_CONTEXT_LENGTH"}, {}, false, take_context_length, 0},
    {"capabilities", {"ZELK_SHIM_CAPABILITIES"}, {}, false, take_capabilities, 0},
    {"connect_timeout", {"ZELK_SHIM_CONNECT_TIMEOUT"}, {}, false, take_connect_timeout, 0},
    {"idle_timeout", {"ZELK_SHIM_IDLE_TIMEOUT"}, {}, false, take_idle_timeout, 0},
    {"persona", {"ZELK_SHIM_PERSONA"}, {}, false, take_persona, persona_path_room},
    {"retries", {"ZELK_SHIM_RETRIES"}, {}, false, take_retries, 0},
    {"fallback_url", {"ZELK_SHIM_FALLBACK_URL"}, {}, false, take_text<CFG_FALLBACK_URL>, url_room},
    {"fallback_key", {"ZELK_SHIM_FALLBACK_KEY"}, {}, false, take_text<CFG_FALLBACK_KEY>, key_room},
    {"fallback_model", {"ZELK_SHIM_FALLBACK_MODEL"}, {}, false, take_text<CFG_FALLBACK_MODEL>, model_room},
    {"log", {"ZELK_SHIM_LOG"}, {}, false, take_log, log_path_room},
};
constexpr size_t row_count = sizeof rows / sizeof rows[0];

// Each row's ini value gets its room and two bytes more, so a value longer
// than the room arrives longer (and is refused) rather than cut to fit.
constexpr size_t ini_area(const setting_row& row) { return (row.room ? row.room : ini_default_room) + 2; }
constexpr size_t ini_areas_total() {
    size_t total = 0;
    for (const setting_row& row : rows)
        if (row.ini_key) total += ini_area(row);
    return total;
}

// The refusals every row shares name the setting, never the value: it may
// be the key.
size_t put_setting_name(const setting_row& row, settings_build& b) {
    size_t n = bformat(b.err.line, "%s%s%s", row.env[0], row.env[1] ? " or " : "", row.env[1] ? row.env[1] : "");
    if (row.ini_key) n += bformat_at(b.err.line + n, sizeof b.err.line - n, " (ini key %s)", row.ini_key);
    if (row.options[0])
        n += bformat_at(b.err.line + n, sizeof b.err.line - n, " (option %s%s%s)", row.options[0],
                        row.options[1] ? " or " : "", row.options[1] ? row.options[1] : "");
    return n;
}

bool refuse_too_long(const setting_row& row, settings_build& b) {
    size_t n = put_setting_name(row, b);
    bformat_at(b.err.line + n, sizeof b.err.line - n, " is too long: at most %zu bytes", row.room);
    return false;
}

// A line break in a URL, key or model would reach the upstream's request
// head as a header line of the caller's making; no setting has a use for
// any control byte.
bool has_control_byte(std::string_view value) {
    for (char c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
    return false;
}

bool refuse_control_byte(const setting_row& row, settings_build& b) {
    size_t n = put_setting_name(row, b);
    bformat_at(b.err.line + n, sizeof b.err.line - n, " holds a control byte (0x00-0x1f or 0x7f)");
    return false;
}

}  // namespace

bool load_settings_from(const char* ini_path, int argc, char** argv, loaded_settings& out, startup_error& err) {
    bformat(out.ini_path, "%s", ini_path);
    settings_build b{out, err};
    // The value each row ends with: a view of its ini value, an argument or
    // a variable, all of which outlive the build.
    std::string_view given[row_count];
    bool has[row_count] = {};
    // A value longer than its row's room, or holding a control byte, is
    // refused where it would be taken, so one that a later source replaces
    // does not count.
    auto take = [&](size_t i, std::string_view value) {
        if (rows[i].room && value.size() > rows[i].room) return refuse_too_long(rows[i], b);
        if (has_control_byte(value)) return refuse_control_byte(rows[i], b);
        return rows[i].take(value, b);
    };
    auto offer = [&](size_t i, std::string_view value) {
        if (rows[i].each_value && !take(i, value)) return false;
        given[i] = value;
        has[i] = true;
        return true;
    };

    char ini_text[ini_areas_total()];
    ini_value ini[row_count];
    size_t ini_count = 0;
    size_t ini_row[row_count];
    size_t ini_used = 0;
    for (size_t i = 0; i < row_count; ++i)
        if (rows[i].ini_key) {
            ini_row[ini_count] = i;
            ini[ini_count++] = {rows[i].ini_key, ini_text + ini_used, ini_area(rows[i])};
            ini_used += ini_area(rows[i]);
        }
    if (!ini_read_values(ini_path, "shim", ini, ini_count)) {
        bformat(err.line, "the ini file %s is too large: at most %zu bytes", ini_path, ini_file_limit);
        return false;
    }
    for (size_t k = 0; k < ini_count; ++k)
        if (ini[k].len > 0 && !offer(ini_row[k], {ini[k].out, ini[k].len})) return false;

    // Every argument but the last may name an option; a later one wins.
    for (int a = 1; a + 1 < argc; ++a)
        for (size_t i = 0; i < row_count; ++i)
            for (const char* option : rows[i].options)
                if (option && std::strcmp(argv[a], option) == 0 && !offer(i, argv[a + 1])) return false;

    for (size_t i = 0; i < row_count; ++i)
        for (const char* name : rows[i].env) {
            const char* value = name ? env_value(name) : nullptr;
            if (!value || !*value) continue;
            if (!offer(i, value)) return false;
            break;
        }

    for (size_t i = 0; i < row_count; ++i)
        if (has[i] && !rows[i].each_value && !take(i, given[i])) return false;
    derive_upstream_settings(out.shim);
    if (!derive_fallback_settings(out.shim)) {
        bformat(err.line, "bad ZELK_SHIM_FALLBACK_URL (ini key fallback_url): want http:// or https:// and a host");
        return false;
    }
    error_text embed_err;
    if (!derive_embed_settings(out.shim, out.embed, embed_err)) {
        bformat(err.line, "%s", embed_err.s);
        return false;
    }
    return true;
}

bool load_settings(int argc, char** argv, loaded_settings& out, startup_error& err) {
    char exe_dir[260];
    exe_directory(exe_dir, sizeof exe_dir);
    char ini_path[260];
    bformat(ini_path, "%szelk_shim.ini", exe_dir);
    return load_settings_from(ini_path, argc, argv, out, err);
}
