#include "module/series_request.h"

#include <utility>

namespace zentrail {

SeriesRequest series_request(const ScanRequest& request, int64_t first, int64_t start, int64_t last) {
    SeriesRequest series;
    series.paths = scan_paths(request);
    series.window = SeriesWindow{first, start, last};
    series.codes = request.codes;
    series.every_code = request.every_code;
    series.predicate = request.predicate;
    series.has_predicate = request.has_predicate;
    series.threads = request.threads;
    series.batch_rows = request.batch_rows;
    return series;
}

}  // namespace zentrail
