// The archive paths of one read: filled by discovery, sorted, then read in
// their order.
#pragma once

#include <string>
#include <vector>

namespace zentrail {

using PathList = std::vector<std::string>;

}  // namespace zentrail
