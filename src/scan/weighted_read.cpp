#include "scan/weighted_read.h"

#include <cstring>
#include <string>
#include <utility>

namespace zentrail {

namespace {

// A column of `bytes` values of an Arrow primitive format.
OwnedColumn primitive_column(std::string name, std::string format, std::size_t bytes) {
    OwnedColumn column;
    column.name = std::move(name);
    column.arrow_format = std::move(format);
    column.bytes.resize(bytes);
    return column;
}

}  // namespace

WeightedRead::WeightedRead(SeriesRequest request, const BucketSpan& span) : span(span), feed(std::move(request)) {}

WeightedRead::Next WeightedRead::next(std::chrono::milliseconds wait) {
    if (!sums) {
        if (!feed.prepare(wait)) return Next::Waiting;
        const std::size_t n = feed.columns().size();
        sums = std::make_unique<TimeWeighted>(span, n);
        for (std::size_t k = 0; k < n; ++k) {
            const SeriesPoint& start = feed.in_force(k);
            if (start.time != INT64_MIN) sums->rows_of(k).add(start.time, start.value);
            sums->set_last_time(k, feed.last_time(k));
        }
    }
    TimeWeighted& tw = *sums;
    SeriesFeed::Next got;
    if (!counted) {
        got = feed.next([&tw](uint32_t k, int64_t t, double v) { tw.rows_of(k).add(t, v); }, wait);
    } else {
        const int64_t start = span.start;
        Counted& c = *counted;
        got = feed.next(
            [this, &tw, &c, start](uint32_t k, int64_t t, double v) {
                // Rows at the start are in force already; the overview counts them.
                if (t > start) tw.rows_of(k).add(t, v);
                const std::size_t file = feed.current_path();
                if (file != c.file) {
                    if (c.file != SIZE_MAX) c.end_file();
                    c.file = file;
                }
                if (file < c.from) return;
                const int32_t code = feed.columns().code(k);
                c.sink.count_row(static_cast<uint16_t>(code / 1024), static_cast<uint16_t>(code % 1024), t, v);
            },
            wait);
    }
    if (got == SeriesFeed::Next::Finished) {
        tw.advance(INT64_MAX);
        if (counted && counted->file != SIZE_MAX) {
            counted->end_file();
            counted->file = SIZE_MAX;
        }
        return Next::Finished;
    }
    if (got == SeriesFeed::Next::Rows && feed.frontier() != seen_frontier) {
        seen_frontier = feed.frontier();
        tw.advance(seen_frontier);
    }
    return Next::Waiting;
}

void WeightedRead::count_rows(const OverviewGrid& grid, std::size_t counted_from) {
    counted = std::make_unique<Counted>(grid, counted_from);
}

std::vector<OwnedColumn> WeightedRead::take_overview() { return counted->result.finish(counted->grid); }

std::size_t WeightedRead::rows() const {
    std::size_t n = 0;
    for (std::size_t k = 0; sums && k < sums->column_count(); ++k) n += sums->cells_of(k).size();
    return n;
}

std::vector<OwnedColumn> WeightedRead::columns() const {
    const std::size_t n = rows();
    OwnedColumn ids = primitive_column("signal_id", "S", n * 2);
    OwnedColumn elements = primitive_column("element", "S", n * 2);
    OwnedColumn buckets = primitive_column("bucket", "tsn:", n * 8);
    OwnedColumn in_force = primitive_column("in_force", "g", n * 8);
    OwnedColumn integral = primitive_column("integral", "g", n * 8);
    std::size_t r = 0;
    for (std::size_t k = 0; sums && k < sums->column_count(); ++k) {
        const int32_t code = feed.columns().code(k);
        const auto id = static_cast<uint16_t>(code / 1024);
        const auto element = static_cast<uint16_t>(code % 1024);
        for (const WeightedCell& cell : sums->cells_of(k)) {
            const int64_t start = span.start_of(cell.bucket);
            const double seconds = static_cast<double>(cell.in_force_ns) / 1e9;
            const double value_seconds = cell.weighted / 1e9;
            std::memcpy(ids.bytes.data() + r * 2, &id, 2);
            std::memcpy(elements.bytes.data() + r * 2, &element, 2);
            std::memcpy(buckets.bytes.data() + r * 8, &start, 8);
            std::memcpy(in_force.bytes.data() + r * 8, &seconds, 8);
            std::memcpy(integral.bytes.data() + r * 8, &value_seconds, 8);
            ++r;
        }
    }
    std::vector<OwnedColumn> out;
    out.push_back(std::move(ids));
    out.push_back(std::move(elements));
    out.push_back(std::move(buckets));
    out.push_back(std::move(in_force));
    out.push_back(std::move(integral));
    return out;
}

}  // namespace zentrail
