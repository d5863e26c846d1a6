// Reads the rows a growing archive file gains: from the place the last read
// of it stopped, through the bytes that are there, into column batches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/parser.h"
#include "scan/column_builder.h"
#include "scan/column_store.h"
#include "scan/read_plan.h"

namespace zentrail {

// The longest record (a string alarm with the longest text) and a page: a
// read given at least this many bytes gets past a whole record that is there.
constexpr int64_t TAIL_MIN_STEP = 65536 + 12 + 4096;

// What one read of a file's tail gave: its rows, and the place after the
// last whole record read.
struct TailRows {
    ColumnStore rows;
    ResumePoint next;
};

// Reads `path` with `parser` (made for plan.filter, with payload classes
// cleared: the builder reads stored payloads) from `from` through at most
// max(max_bytes, TAIL_MIN_STEP) more bytes, and never past the file's first
// `until` bytes where `until` is 0 or more (a reader that must stop at a
// place it found before, whatever the file gained since), into out->rows
// (the plan's rows and columns) and out->next. Throws as
// Parser::read_file_from.
void read_tail(Parser& parser, const ReadPlan& plan, const std::string& path, const ResumePoint& from,
               int64_t max_bytes, TailRows* out, int64_t until = -1);

}  // namespace zentrail
