// The record sink interface, and the text writer that is its own default:
// one comma-separated line per item.
#pragma once

#include <cstddef>
#include <cstdio>

#include "archive/item_format.h"
#include "output/archive_row.h"

namespace zentrail {

class Writer {
public:
    // Lines go to `out` (standard output unless a test says otherwise).
    explicit Writer(std::FILE* out = stdout) : out(out) {}
    virtual ~Writer() = default;

    // Takes one item; the record belongs to the reader and is valid only
    // during the call.
    virtual void export_value(ACI_WITH_DATE* item);

    // A sink that reads nothing of a record but its head (no payload, no
    // text) may say so: a reader that selects every item then hands it the
    // records whole in its window in blocks, all read under day `date`,
    // through export_heads, and the others one by one through export_value,
    // in file order either way.
    virtual bool takes_heads() const { return false; }
    virtual void export_heads(const RecordHead* heads, std::size_t count, uint32_t date) {
        static_cast<void>(heads), static_cast<void>(count), static_cast<void>(date);
    }

    // The item's complete row: date-time, names, detail, id, element count.
    ArchiveRow _parseArchiveItem(const ACI_WITH_DATE* item) const;

protected:
    void _append(int value, bool last);
    void _append(double value, bool last);
    void _append(bool value, bool last);  // "on" or "off"
    void _append(const char* text, bool last);
    void _append_values(const ArchiveRow* row);
    void _close_line();

private:
    void _separator(bool last);

    std::FILE* out;
};

}  // namespace zentrail
