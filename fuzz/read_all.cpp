// Built twice: once against the core as shipped, once against a copy of the
// core compiled with a tiny window in a namespace of its own (READ_ALL is the
// name of the function each build defines).
#include "read_all.h"

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "output/writer.h"

namespace {

class RecordingWriter : public zentrail::Writer {
public:
    explicit RecordingWriter(fuzz_support::ReadOutcome* outcome) : outcome(outcome) {}
    void export_value(zentrail::ACI_WITH_DATE* record) override {
        const zentrail::AR_COMMON_ITEM& item = record->item;
        outcome->items.push_back({record->date, item.ticks_hi, item.ticks_lo, item.code, item.param, item.id,
                                  item.string_size, std::vector<unsigned char>(item.data, item.data + sizeof item.data)});
    }

private:
    fuzz_support::ReadOutcome* outcome;
};

}  // namespace

namespace fuzz_support {

ReadOutcome READ_ALL(const std::string& path) {
    // One reader for the whole process: its areas are large, and reusing it
    // across files is part of what is tested.
    static zentrail::Parser parser(nullptr);
    ReadOutcome outcome;
    RecordingWriter writer(&outcome);
    zentrail::PathList paths{path};
    try {
        parser.exportFiles(&writer, &paths);
    } catch (const zentrail::FileFormatError& e) {
        outcome.format_error = true;
        outcome.error_offset = e.offset;
    }
    return outcome;
}

}  // namespace fuzz_support
