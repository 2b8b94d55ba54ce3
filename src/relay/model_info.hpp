// What the shim says about its model to the local-model dialect's clients.
#pragma once
#include <string_view>

#include "text/buf.hpp"

// ---- Model information ------------------------------------------------------

// The "details" object of a model entry ({"parent_model":"","format":...}).
void put_model_details(buf& body);
// GET /api/version: {"version":"<version>"}.
void put_version_body(buf& body, std::string_view version);
// POST /api/show: the configured model's details, model_info, capabilities
// (completion, tools) and modified_at.
void put_show_body(buf& body, std::string_view model, std::string_view modified_at);
