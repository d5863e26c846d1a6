// The text writer of zentrail-dump: one comma-separated line per item.
#pragma once

#include <cstdio>

#include "archive/record_sink.h"
#include "output/archive_row.h"

namespace zentrail {

class TextWriter : public RecordSink {
public:
    // Lines go to `out` (standard output unless a test says otherwise).
    explicit TextWriter(std::FILE* out = stdout) : out(out) {}

    void export_value(ACI_WITH_DATE* item) override;

private:
    void _append(int value, bool last);
    void _append(double value, bool last);
    void _append(bool value, bool last);  // "on" or "off"
    void _append(const char* text, bool last);
    void _append_values(const ArchiveRow* row);
    void _close_line();
    void _separator(bool last);

    std::FILE* out;
};

}  // namespace zentrail
