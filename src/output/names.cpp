#include "output/names.h"

namespace zentrail {

const char* const SYSTEM_SUBTYPES[4] = {"Date Mark", "Executive events", "Archive events", "????"};
const char* const BOOL_SUBTYPES[9] = {"H->L", "L->H", "?2??", "?3??", "?4??",
                                      "?5??", "?6??", "?7??", "????"};
const char* const VAL_SUBTYPES_SHORT[9] = {"Lo",   "Hi",   "LoLo", "HiHi", "data",
                                           "?5??", "?6??", "?7??", "????"};
const char* const VAL_SUBTYPES_LONG[9] = {"Lo/L", "Hi/H", "LoLo", "HiHi", "?4??",
                                          "?5??", "?6??", "?7??", "????"};
const char* const STR_AL_SUBTYPES[9] = {"Norm", "LogF", "Arch", "User", "?4??",
                                        "?5??", "?6??", "SYST", "????"};
const char* const LOG_MODULE_DESCR_ARR[8] = {"",      "Os",      "Core",     "Diagnostic",
                                             "Block", "Archive", "IODriver", ""};
const char* const LOG_LEVEL_DESCR_ARR[8] = {"Unknown", "Write",   "Read",  "Verbose",
                                            "Info",    "Warning", "Error", ""};

namespace {
// Out-of-range indices (subtypes are 0..7, so only a direct caller passes
// one) give the table's last, unknown entry.
template <int N>
const char* clamped(const char* const (&table)[N], int index) {
    return table[(index < 0 || index > N - 1) ? N - 1 : index];
}
}  // namespace

const char* get_arc_class_name(int code) { return CLASS_NAMES[ARCLASS(code)]; }
const char* get_arc_system_subtypes(int subtype) { return clamped(SYSTEM_SUBTYPES, subtype); }
const char* get_arc_bool_subtypes(int subtype) { return clamped(BOOL_SUBTYPES, subtype); }
const char* get_arc_val_subtypes(int subtype) { return clamped(VAL_SUBTYPES_SHORT, subtype); }
const char* get_str_al_subtypes(int subtype) { return clamped(STR_AL_SUBTYPES, subtype); }
const char* get_arc_ack_subtypes(int subtype) { return clamped(VAL_SUBTYPES_LONG, subtype); }

}  // namespace zentrail
