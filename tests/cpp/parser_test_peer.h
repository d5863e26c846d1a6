// Lets the tests drive the reader's record decoder over a window of their own.
#pragma once

#include "archive/parser.h"

namespace zentrail {

struct ParserTestPeer {
    static int read_next_item(Parser& parser, Buffer* buf, unsigned int* date, AR_COMMON_ITEM* item) {
        return parser._read_next_item_from_data(buf, date, item);
    }
};

}  // namespace zentrail
