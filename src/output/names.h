// The names of the archive vocabulary: classes, subtypes, log modules and
// log levels.
#pragma once

#include "archive/record_classes.h"

namespace zentrail {

extern const char* const SYSTEM_SUBTYPES[4];
extern const char* const BOOL_SUBTYPES[9];
extern const char* const VAL_SUBTYPES_SHORT[9];
extern const char* const VAL_SUBTYPES_LONG[9];
extern const char* const STR_AL_SUBTYPES[9];
extern const char* const LOG_MODULE_DESCR_ARR[8];
extern const char* const LOG_LEVEL_DESCR_ARR[8];

// Class name of the low five bits of `code` (a whole item code may be passed).
const char* get_arc_class_name(int code);
// Subtype names; an index past the table's last entry gives that entry.
const char* get_arc_system_subtypes(int subtype);
const char* get_arc_bool_subtypes(int subtype);
const char* get_arc_val_subtypes(int subtype);
const char* get_str_al_subtypes(int subtype);
const char* get_arc_ack_subtypes(int subtype);

}  // namespace zentrail
