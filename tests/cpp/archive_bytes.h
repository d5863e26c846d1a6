// Builds archive file bytes for tests from readable descriptions of records.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "archive/item_format.h"
#include "archive/record_classes.h"
#include "time/calendar.h"

namespace zentrail::testing {

// The class names (AlByte, GrWord, ...) of the library, for the tests.
using namespace zentrail;

// Nanoseconds since midnight of a wall-clock time.
constexpr uint64_t time_of_day(int hour, int minute, int second, uint64_t nanos = 0) {
    return uint64_t(hour) * NS_PER_HOUR + uint64_t(minute) * NS_PER_MINUTE + uint64_t(second) * NS_PER_SECOND +
           nanos;
}

// Every record is written exactly as a file stores it: big-endian fields,
// payload bytes in file order.
class ArchiveBytes {
public:
    ArchiveBytes& date_mark(uint32_t day) { return u16(0x8000).u32(day); }
    ArchiveBytes& system(uint64_t tod, int subtype, uint8_t param) { return head(tod, System, subtype, param); }
    // Alarms of classes 1..11 and 31; `payload` as stored in the file.
    ArchiveBytes& alarm(uint64_t tod, int cls, int subtype, uint8_t param, uint16_t id,
                        std::vector<uint8_t> payload = {}) {
        return head(tod, cls, subtype, param).u16(id).raw(payload);
    }
    ArchiveBytes& string_alarm(uint64_t tod, int subtype, uint8_t param, uint16_t id, const std::string& text) {
        head(tod, AlString, subtype, param).u16(id).u16(static_cast<uint16_t>(text.size()));
        bytes.insert(bytes.end(), text.begin(), text.end());
        return *this;
    }
    // Groups: `count` is the element count byte, `payload` the file bytes.
    ArchiveBytes& group(uint64_t tod, int cls, int subtype, uint8_t count, uint16_t id,
                        std::vector<uint8_t> payload) {
        return head(tod, cls, subtype, count).u16(id).raw(payload);
    }
    ArchiveBytes& end_byte() { return raw({0xFF}); }

    ArchiveBytes& head(uint64_t tod, int cls, int subtype, uint8_t param) {
        u16(static_cast<uint16_t>(tod >> 32)).u32(static_cast<uint32_t>(tod));
        return raw({static_cast<uint8_t>(cls | (subtype << 5)), param});
    }
    ArchiveBytes& u16(uint16_t v) { return raw({static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}); }
    ArchiveBytes& u32(uint32_t v) { return u16(static_cast<uint16_t>(v >> 16)).u16(static_cast<uint16_t>(v)); }
    ArchiveBytes& raw(const std::vector<uint8_t>& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }
    ArchiveBytes& raw(std::initializer_list<uint8_t> more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }

    std::vector<uint8_t> bytes;
};

// An item as the decoder leaves it: the payload given in file order is
// stored reversed in the value area.
inline ACI_WITH_DATE decoded_item(int cls, int subtype, int param, int id,
                                  const std::vector<uint8_t>& file_payload = {}) {
    ACI_WITH_DATE a{};
    a.item.code = static_cast<uint8_t>(ARCODE(cls, subtype));
    a.item.param = static_cast<uint8_t>(param);
    a.item.id = static_cast<uint16_t>(id);
    std::reverse_copy(file_payload.begin(), file_payload.end(), a.item.data);
    return a;
}

}  // namespace zentrail::testing
