// The Arrow stream of an aligned read: batches of grid rows handed over as
// the read settles them, the first before the read is done.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "scan/aligned_read.h"
#include "scan/arrow_c_data.h"

namespace zentrail {

// Makes `out` a stream over `read`. `on_wait` (may be null) is called every
// few tens of milliseconds while the consumer waits; what it throws ends the
// stream with that failure. The schema is known once the passes before the
// rows are done: asking for it waits for them.
void export_aligned_stream(std::unique_ptr<AlignedRead> read, std::function<void()> on_wait, ArrowArrayStream* out);

// The name of a code's column: "<signal_id>:<element>".
std::string code_column_name(int32_t code);

}  // namespace zentrail
