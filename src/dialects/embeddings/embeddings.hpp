// Embeddings over the upstream's embeddings endpoint, in both dialects: the
// chat-completions body passed on with the embedding model, and the
// local-model server's two forms converted both ways.
#pragma once
#include <string_view>

#include "http/connection.hpp"
#include "relay/passthrough.hpp"
#include "relay/usage.hpp"
#include "settings/settings.hpp"
#include "text/buf.hpp"

enum class embed_shape {
    chat_completions,  // /v1/embeddings: the body as it came, the answer as it came
    embed,             // /api/embed: "input", {"embeddings": [[...], ...]}
    legacy,            // /api/embeddings: "prompt", {"embedding": [...]}
};

// Answers one embeddings request; `settings.embed` must be set.
void relay_embeddings(client_conn& client, const chat_request& request, embed_shape shape, const shim_settings& settings);

// ---- The conversions, for the tests ----------------------------------------

// A successful upstream answer as the local-model reply: the vectors ordered
// by their "index", each as the upstream wrote it. 0 with the reply in `out`,
// else 502 with an error text in `problem`. `model_raw` is JSON string
// content; `inputs` the number of inputs sent; `used` learns the answer's
// token counts. One check of the answer and one walk over it.
int build_local_embed_reply(std::string_view answer, embed_shape shape, std::string_view model_raw, size_t inputs,
                            long long total_ns, buf& out, error_text& problem, token_usage& used);

// The answer with each "embedding" that is an array of numbers written as
// base64 of little-endian 32-bit floats, for a caller that asked for base64.
// False, with `out` untouched, when there is nothing to convert (the answer
// is passed on as it came).
bool embeddings_as_base64(std::string_view answer, buf& out);
