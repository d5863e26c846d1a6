#include "module/series_request.h"

#include <utility>

namespace zentrail {

SeriesRequest series_request(const ScanRequest& request, int64_t first, int64_t start, int64_t last) {
    ReadPlan plan = read_plan(request);
    SeriesRequest series;
    series.paths = std::move(plan.paths);
    // Listed files are read as given: their names match them one to one.
    if (series.paths.size() == request.shown.size()) series.shown = request.shown;
    series.window = SeriesWindow{first, start, last};
    series.codes = request.codes;
    series.every_code = request.every_code;
    series.predicate = plan.predicate;
    series.has_predicate = plan.has_predicate;
    series.threads = request.threads;
    series.batch_rows = request.batch_rows;
    series.zone = plan.zone;
    series.source = plan.source;
    series.in_force = request.in_force;
    series.spans = request.spans;
    return series;
}

}  // namespace zentrail
