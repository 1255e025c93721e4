// Feeds arbitrary bytes to the form decoder, the pair conversion and the query
// extraction. Besides the sanitizers' checks, it holds the decoder to what
// every caller relies on: it never makes a text longer, and a text with
// neither '%' nor '+' comes back unchanged.

#include "common/fixed_text.h"
#include "request/form_decoding.h"
#include "request/request_context.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);

    std::string decoded = decode_form_text(input);
    if (decoded.size() > input.size())
        __builtin_trap();
    if (input.find_first_of("%+") == std::string_view::npos && decoded != input)
        __builtin_trap();

    if (size >= 2) {
        unsigned char first = data[0];
        unsigned char second = data[1];
        euc_pair_to_sjis(first, second);
    }

    ConnectionTicket ticket;
    RequestContext context(ticket);
    (void)copy_into(context.url, input);
    extract_query(context);
    if (text_of(context.query).size() >= context.query.size())
        __builtin_trap();
    return 0;
}
