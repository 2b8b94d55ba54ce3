#include "startup/load_settings.hpp"

#include <cstring>

#include "platform/host.hpp"
#include "text/bounded.hpp"

namespace {

struct setting_slot {
    const char* ini_key;
    const char* env_name;
    char* value;
    size_t size;
};

const setting_slot slots[] = {
    {"url", "ZELK_SHIM_URL", CFG_URL, sizeof CFG_URL},
    {"key", "ZELK_SHIM_KEY", CFG_KEY, sizeof CFG_KEY},
    {"model", "ZELK_SHIM_MODEL", CFG_MODEL, sizeof CFG_MODEL},
    {"proxy", "ZELK_SHIM_PROXY", CFG_PROXY, sizeof CFG_PROXY},
    {"log", "ZELK_SHIM_LOG", CFG_LOG, sizeof CFG_LOG},
};

void copy_setting(const setting_slot& slot, const char* value) {
    std::strncpy(slot.value, value, slot.size - 1);
    slot.value[slot.size - 1] = '\0';
}

void ini_path_beside_executable(char (&ini_path)[260]) {
    char exe_dir[260];
    exe_directory(exe_dir, sizeof exe_dir);
    bformat(ini_path, "%szelk_shim.ini", exe_dir);
}

}  // namespace

bool parse_port(const char* text, int& port) {
    if (!text || !*text) return false;
    long v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
        if (v > 65535) return false;
    }
    port = static_cast<int>(v);
    return true;
}

void load_settings_from(const char* ini_path) {
    char value[1024];
    for (const setting_slot& slot : slots)
        if (ini_read_value(ini_path, "shim", slot.ini_key, value, sizeof value) > 0) copy_setting(slot, value);
    for (const setting_slot& slot : slots) {
        const char* env = env_value(slot.env_name);
        if (env && *env) copy_setting(slot, env);
    }
}

bool open_request_log(const char* value, log_output& out, error_text& err) {
    if (!*value || std::strcmp(value, "0") == 0) return true;
    if (std::strcmp(value, "1") == 0 || std::strcmp(value, "stderr") == 0) {
        log_open_stderr(out);
        return true;
    }
    return log_open_file(value, out, err);
}

port_setting load_settings(int argc, char** argv) {
    char ini_path[260];
    ini_path_beside_executable(ini_path);
    load_settings_from(ini_path);

    port_setting result;
    // Every argument but the last may name the port option; a later one wins.
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 || std::strcmp(argv[i], "-p") == 0) {
            if (!parse_port(argv[i + 1], result.port)) {
                result.bad_value = argv[i + 1];
                return result;
            }
        }
    }
    const char* env_port = env_value("GARVO_SHIM_PORT");
    if (env_port && *env_port && !parse_port(env_port, result.port)) result.bad_value = env_port;
    return result;
}

bool load_origins(origin_list& out, error_text& problem) {
    char ini_path[260];
    ini_path_beside_executable(ini_path);
    char value[1024];
    std::string_view setting;
    if (ini_read_value(ini_path, "shim", "origins", value, sizeof value) > 0) setting = value;
    const char* env = env_value("ZELK_SHIM_ORIGINS");
    if (env && *env) setting = env;
    std::string_view bad;
    if (parse_origin_list(setting, out, bad)) return true;
    set_error(problem,
              "bad origins entry \"%.*s\" (want an origin such as https://app.example, a scheme with * such as "
              "chrome-extension://*, null or *)",
              static_cast<int>(bad.size() < 160 ? bad.size() : 160), bad.data());
    return false;
}
