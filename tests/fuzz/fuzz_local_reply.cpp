// build_local_reply over arbitrary upstream answers and statuses.
//
// Input layout: two bytes of status (little endian, modulo 600), then the answer.
#include <vector>

#include "fuzz_check.hpp"
#include "json_check.hpp"
#include "relay/local_dialect.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    unsigned long status = (static_cast<unsigned long>(data[0]) | static_cast<unsigned long>(data[1]) << 8) % 600;
    exact_copy input(data + 2, size - 2);
    std::string_view answer = input.view();
    const std::string_view created = "2024-01-02T03:04:05Z";

    buf body;
    local_reply r = build_local_reply(status, answer, "mo\"del", created, body);
    check_buf(body);
    std::string_view got = body.view();

    if (status >= 400) {
        FUZZ_CHECK(r.status == static_cast<int>(status));
        FUZZ_CHECK(!r.success);
        std::string_view head = "{\"error\":\"";
        FUZZ_CHECK(got.substr(0, head.size()) == head);
        FUZZ_CHECK(got.size() >= head.size() + 2 && got.substr(got.size() - 2) == "\"}");
        std::vector<strict_member> members;
        FUZZ_CHECK(strict_json(got).parse(members));
        return 0;
    }

    FUZZ_CHECK(r.status == 200 && r.success);
    std::string_view head = "{\"model\":\"mo\\\"del\",\"created_at\":\"2024-01-02T03:04:05Z\","
                            "\"message\":{\"role\":\"assistant\",\"content\":\"";
    FUZZ_CHECK(got.substr(0, head.size()) == head);
    std::string_view mid = "\"},\"done\":true,\"done_reason\":\"";
    size_t at = got.rfind(mid);
    FUZZ_CHECK(at != std::string_view::npos && at >= head.size());
    // The content is copied as the upstream wrote it where that is valid
    // JSON string text; every mend adds a backslash or U+FFFD, so content
    // without either is a span of the answer.
    std::string_view content = got.substr(head.size(), at - head.size());
    bool plain = content.find('\\') == std::string_view::npos;
    for (unsigned char c : content) plain &= c < 0x80;
    if (plain) FUZZ_CHECK(answer.find(content) != std::string_view::npos);

    std::string_view rest = got.substr(at + mid.size());
    FUZZ_CHECK(rest.starts_with("stop\",\"") || rest.starts_with("length\",\""));
    FUZZ_CHECK(rest.find("\"prompt_eval_count\":") != std::string_view::npos);
    FUZZ_CHECK(rest.find(",\"eval_count\":") != std::string_view::npos);
    FUZZ_CHECK(got.back() == '}');
    // Whatever the upstream sent, the reply is one valid JSON document.
    std::vector<strict_member> members;
    FUZZ_CHECK(strict_json(got).parse(members));
    return 0;
}
