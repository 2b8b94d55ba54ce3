// What the shim says about its model: the model lists of both dialects, and
// the local-model dialect's version, show and ps replies. The upstream is
// never asked: what the shim cannot learn from it (the context length, the
// capabilities) comes from the settings.
#pragma once
#include <string_view>

#include "settings/settings.hpp"
#include "text/buf.hpp"

enum class model_query {
    list,         // GET /v1/models
    tags,         // GET /api/tags: the same list plus "models" for local-model clients
    version,      // GET /api/version
    show,         // POST /api/show (its body names the model)
    ps,           // GET /api/ps: the configured model, always loaded
    unsupported,  // an endpoint of the local-model API that needs a model store
};

// Fills `body` with the reply to `query` and returns its status: 200, or 400
// with {"error":"..."} for a show request that cannot be read, 404 with one
// for an unsupported endpoint.
int answer_model_query(model_query query, std::string_view request_body, const shim_settings& settings, buf& body);

// ---- The pieces, for the tests ----------------------------------------------

// The configured model as the local-model dialect names it (JSON string
// content): with ":latest" unless the name already has a tag, that is a ':'
// after its last '/' ("org/model:8b", but not "arn:aws:...:profile/x").
void put_tagged_name(buf& out, std::string_view model);
// A digest that stays the same for the same model name: 64 lowercase hex
// digits, as the dialect's sha256 digests look.
void put_model_digest(buf& out, std::string_view model);
