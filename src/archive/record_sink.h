// What a reader hands the items it selects to. Each consumer of a read (the
// text writer, the tuple list of zentrail.read, the column builder, the
// inventory, event and overview sinks) is one, and the reader knows none of
// them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/item_format.h"

namespace zentrail {

class RecordSink {
public:
    virtual ~RecordSink() = default;

    // Takes one item; the record belongs to the reader and is valid only
    // during the call.
    virtual void export_value(ACI_WITH_DATE* item) = 0;

    // A sink that reads nothing of a record but its head (no payload, no
    // text) may say so: a reader that selects every item then hands it the
    // records whole in its window in blocks, all read under day `date`,
    // through export_heads, and the others one by one through export_value,
    // in file order either way.
    virtual bool takes_heads() const { return false; }
    virtual void export_heads(const RecordHead* heads, std::size_t count, uint32_t date) {
        static_cast<void>(heads), static_cast<void>(count), static_cast<void>(date);
    }

protected:
    RecordSink() = default;
    RecordSink(const RecordSink&) = default;
    RecordSink& operator=(const RecordSink&) = default;
};

}  // namespace zentrail
