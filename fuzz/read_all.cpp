// Built twice: once against the core as shipped, once against a copy of the
// core compiled with a tiny window in a namespace of its own (READ_ALL is the
// name of the function each build defines).
#include "read_all.h"

#include <memory>

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "archive/record_sink.h"
#include "selection/filter.h"

namespace {

class RecordingSink : public zentrail::RecordSink {
public:
    explicit RecordingSink(fuzz_support::ReadOutcome* outcome) : outcome(outcome) {}
    void export_value(zentrail::ACI_WITH_DATE* record) override {
        const zentrail::AR_COMMON_ITEM& item = record->item;
        outcome->items.push_back({record->date, item.ticks_hi, item.ticks_lo, item.code, item.param, item.id,
                                  item.string_size, std::vector<unsigned char>(item.data, item.data + sizeof item.data),
                                  record->error_item});
    }

private:
    fuzz_support::ReadOutcome* outcome;
};

}  // namespace

namespace fuzz_support {

ReadOutcome READ_ALL(const std::string& path, const std::vector<uint16_t>* ids) {
    // One reader of every item for the whole process: reusing it across
    // files is part of what is tested. A selective read gets its own.
    static zentrail::Parser every(nullptr);
    zentrail::Parser* parser = &every;
    std::unique_ptr<zentrail::Filter> filter;
    std::unique_ptr<zentrail::Parser> selective;
    if (ids != nullptr) {
        filter = std::make_unique<zentrail::Filter>("2000-01-01 00:00:00", "2099-12-31 23:59:59", -1);
        for (uint16_t id : *ids) filter->addId(id * zentrail::INDEX_RANGE);
        selective = std::make_unique<zentrail::Parser>(filter.get());
        parser = selective.get();
    }
    ReadOutcome outcome;
    RecordingSink sink(&outcome);
    zentrail::PathList paths{path};
    try {
        parser->exportFiles(&sink, &paths);
    } catch (const zentrail::FileFormatError& e) {
        outcome.format_error = true;
        outcome.error_offset = e.offset;
    }
    return outcome;
}

}  // namespace fuzz_support
