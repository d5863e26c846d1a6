#include "scan/aligned_stream.h"

namespace zentrail {

std::string code_column_name(int32_t code) {
    return std::to_string(code / 1024) + ":" + std::to_string(code % 1024);
}

}  // namespace zentrail
