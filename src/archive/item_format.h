// The archive record format: the decoded item, item codes, size tables and
// the decoder's result codes and exception types.
#pragma once

#include <cstdint>
#include <exception>

namespace zentrail {

// One decoded archive record, reused for every record of a run. The decoder
// writes only the fields the record carries.
struct AR_COMMON_ITEM {
    uint16_t ticks_hi;     // bits 47..32 of the time of day
    uint32_t ticks_lo;     // bits 31..0 of the time of day (a date mark: the day)
    uint8_t code;          // class in bits 0..4, subtype in bits 5..7
    uint8_t param;         // element count of a group, attribute otherwise
    uint16_t id;           // signal id; system items leave it unchanged
    int32_t string_size;   // string alarms only: text length + 1
    unsigned char data[512];  // payload, byte order reversed as one block
};

// What every record sink receives: the item and the day it was read under.
struct ACI_WITH_DATE {
    AR_COMMON_ITEM item;
    uint32_t date;
    // A string alarm's text, for a reader asked to keep texts (see
    // Parser::set_keep_texts); null otherwise. Valid during the sink's call.
    const unsigned char* text = nullptr;
    int32_t text_length = 0;
    // A selected item's payload as the file stores it (see
    // StoredNumberReader), whether or not it was also copied into the value
    // area; null for an item without one. Valid during the sink's call.
    const unsigned char* payload = nullptr;
    int32_t payload_size = 0;
    // The item a reader hands on for a malformed record before it throws:
    // it stands for no record of the file.
    bool error_item = false;
};

// A record's head alone, as a reader hands it to a sink that reads nothing
// else (see RecordSink::export_heads): a system item carries the id the item
// before it left, as in AR_COMMON_ITEM.
struct RecordHead {
    uint16_t ticks_hi;
    uint32_t ticks_lo;
    uint8_t code;
    uint8_t param;
    uint16_t id;
};

inline int ARCODE(int cls, int sub) { return cls | (sub << 5); }
inline int ARCLASS(int code) { return code & 0x1F; }
inline int ARSUBTYPE(int code) { return (code >> 5) & 7; }

// Result codes of Parser::_read_next_item_from_data.
constexpr int AR_ITEM = 0;
constexpr int AR_END_OF_DATA = -10;
constexpr int AR_FORMAT_ERROR = -606;

// Result codes below this are read errors (the decoder gives only -606).
constexpr int AR_READ_ERROR_BELOW = -99;
inline bool is_read_error(int rc) { return rc < AR_READ_ERROR_BELOW; }

constexpr uint8_t AR_END_BYTE = 0xFF;
constexpr int AR_MAX_GROUP_RECORD = 522;
constexpr int AR_FIRST_GROUP_CLASS = 17;

// Whole-record size of each alarm class 0..12 (class 31 uses entry 4).
inline constexpr int32_t ALARM_SIZES[13] = {8, 10, 11, 11, 11, 11, 12, 12, 12, 12, 12, 12, 10};
// Element width of each group class 17..27, indexed by class - 17.
inline constexpr int32_t GROUP_ITEM_SIZES[11] = {1, 1, 2, 4, 2, 4, 4, 8, 8, 8, 2};

class ErrorException : public std::exception {
public:
    explicit ErrorException(int32_t code = AR_FORMAT_ERROR) : error_code(code) {}
    const char* what() const noexcept override { return "ErrorException"; }
    int32_t error_code;
};

class DateMarkException : public std::exception {
public:
    const char* what() const noexcept override { return "DateMarkException"; }
};

}  // namespace zentrail
