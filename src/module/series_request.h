// The read behind a time series, from the scan request over its widened
// window: the files, the conditions and the codes.
#pragma once

#include <cstdint>

#include "module/scan_request.h"
#include "scan/series_feed.h"

namespace zentrail {

// The series read of `request` (the scan over [first, last]) whose window
// starts at `start`, all in ns since 1970-01-01.
SeriesRequest series_request(const ScanRequest& request, int64_t first, int64_t start, int64_t last);

}  // namespace zentrail
