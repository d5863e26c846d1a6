// The column names of an aligned read.
#pragma once

#include <cstdint>
#include <string>

namespace zentrail {

// The name of a code's column: "<signal_id>:<element>".
std::string code_column_name(int32_t code);

}  // namespace zentrail
