#include "relay/model_info.hpp"

#include "text/json_scan.hpp"

// ---- Model information ------------------------------------------------------

void put_model_details(buf& body) {
    buf_put(body, "{\"parent_model\":\"\",\"format\":\"gguf\",\"family\":\"zelk\",\"families\":[\"zelk\"],"
                  "\"parameter_size\":\"\",\"quantization_level\":\"\"}");
}

void put_version_body(buf& body, std::string_view version) {
    buf_put(body, "{\"version\":\"");
    json_escape(body, version);
    buf_put(body, "\"}");
}

void put_show_body(buf& body, std::string_view model, std::string_view modified_at) {
    buf_put(body, "{\"modelfile\":\"\",\"parameters\":\"\",\"template\":\"\",\"details\":");
    put_model_details(body);
    buf_put(body, ",\"model_info\":{\"general.architecture\":\"zelk\",\"general.basename\":\"");
    json_escape(body, model);
    buf_put(body, "\"},\"capabilities\":[\"completion\",\"tools\"],\"modified_at\":\"");
    json_escape(body, modified_at);
    buf_put(body, "\"}");
}
