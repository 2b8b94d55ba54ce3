// split_upstream_url over arbitrary URL texts. The shim hands it the
// configured URL, a C string of at most 511 bytes (CFG_URL), so inputs are
// cut at their first NUL and to that length; within that the host and the
// path must come out whole.
#include <cstring>

#include "fuzz_check.hpp"
#include "settings/upstream_url.hpp"
#include "settings/settings.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const void* nul = std::memchr(data, 0, size);
    if (nul) size = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data);
    if (size > sizeof CFG_URL - 1) size = sizeof CFG_URL - 1;
    exact_copy input(data, size);
    std::string_view url = input.view();

    upstream_target t;
    error_text err;
    bool ok = split_upstream_url(url, t, err);
    FUZZ_CHECK(std::memchr(err.s, '\0', sizeof err.s) != nullptr);
    if (!ok) {
        FUZZ_CHECK(!err.empty());
        return 0;
    }
    FUZZ_CHECK(err.empty());
    FUZZ_CHECK(std::memchr(t.host, '\0', sizeof t.host) != nullptr);
    FUZZ_CHECK(std::memchr(t.path, '\0', sizeof t.path) != nullptr);
    FUZZ_CHECK(t.port >= 1);  // uint16_t: at most 65535 by type
    std::string_view host(t.host);
    std::string_view path(t.path);
    FUZZ_CHECK(!host.empty());
    FUZZ_CHECK(path.starts_with('/'));

    // The host and the path are the URL's own, never cut to another name.
    size_t scheme_len = t.secure ? 8 : 7;
    std::string_view rest = url.substr(scheme_len);
    std::string_view authority = rest.substr(0, rest.find('/'));
    if (authority.starts_with('[')) {
        FUZZ_CHECK(authority.substr(1, host.size()) == host && authority.substr(1 + host.size()).starts_with(']'));
    } else {
        FUZZ_CHECK(authority.substr(0, host.size()) == host);
        std::string_view port_part = authority.substr(host.size());
        FUZZ_CHECK(port_part.empty() || port_part.starts_with(':'));
    }
    if (authority.size() == rest.size()) {
        FUZZ_CHECK(path == default_upstream_path);
    } else {
        FUZZ_CHECK(path == rest.substr(authority.size()));
    }
    return 0;
}
