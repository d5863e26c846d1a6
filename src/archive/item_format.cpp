#include "archive/item_format.h"

namespace zentrail {

const int32_t ALARM_SIZES[13] = {8, 10, 11, 11, 11, 11, 12, 12, 12, 12, 12, 12, 10};
const int32_t GROUP_ITEM_SIZES[11] = {1, 1, 2, 4, 2, 4, 4, 8, 8, 8, 2};

}  // namespace zentrail
