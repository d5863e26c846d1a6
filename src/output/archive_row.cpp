#include "output/archive_row.h"

#include <cstring>

namespace zentrail {

namespace {

// Data type per class 0..31.
constexpr int32_t DATA_TYPES[32] = {
    1, 1, 3, 3, 3, 3, 3, 4, 4, 4, 4, 3, 5,  // 0..12 system and alarms
    5, 5, 5, 5,                             // 13..16 reserved
    2, 3, 3, 3, 3, 3, 4, 4, 5, 4, 5,        // 17..27 groups
    5, 5, 5,                                // 28..30 reserved
    3};                                     // 31 acknowledgement

template <std::size_t W> struct UnsignedOfWidth;
template <> struct UnsignedOfWidth<1> { using type = uint8_t; };
template <> struct UnsignedOfWidth<2> { using type = uint16_t; };
template <> struct UnsignedOfWidth<4> { using type = uint32_t; };
template <> struct UnsignedOfWidth<8> { using type = uint64_t; };

// The value of type T at byte offset `at` of the value area. The decoder
// reversed the payload, so values lie least significant byte first whatever
// the host's byte order; the bits are assembled, then copied into T.
template <typename T>
T value_at(const ACI_WITH_DATE* source, int at) {
    using Bits = typename UnsignedOfWidth<sizeof(T)>::type;
    const unsigned char* bytes = source->item.data + at;
    Bits bits = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<Bits>(Bits{bytes[i]} << (8 * i));
    T v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace

ArchiveRow::ArchiveRow(const ACI_WITH_DATE* source)
    : source(source), datetime(), id(0), element_count(0) {
    lead_text1[0] = '\0';
    lead_text2[0] = '\0';
    class_name[0] = '\0';
    subtype_name[0] = '\0';
    detail[0] = '\0';
}

int32_t ArchiveRow::get_JSON_data_type() const { return DATA_TYPES[ARCLASS(source->item.code)]; }

bool ArchiveRow::get_bool(int p) const {
    if (ARCLASS(source->item.code) != 17) return false;
    return (source->item.data[p / 8] >> (p % 8)) & 1;
}

int32_t ArchiveRow::get_int(int p) const {
    switch (ARCLASS(source->item.code)) {
        case 2: return value_at<uint8_t>(source, 0);
        case 3: return value_at<int16_t>(source, 0);
        case 4: return value_at<int32_t>(source, 0);
        case 5: return value_at<uint16_t>(source, 0);
        case 6: return value_at<int32_t>(source, 0);
        case 11: return value_at<int16_t>(source, 0);
        case 31: return value_at<int32_t>(source, 0);
        case 18: return value_at<uint8_t>(source, p);
        case 19: return value_at<int16_t>(source, p * 2);
        case 20: return value_at<int32_t>(source, p * 4);
        case 21: return value_at<uint16_t>(source, p * 2);
        case 22: return value_at<int32_t>(source, p * 4);
        default: return -1;
    }
}

double ArchiveRow::get_double(int p) const {
    switch (ARCLASS(source->item.code)) {
        case 7: return value_at<float>(source, 0);
        case 8: return value_at<double>(source, 0);
        case 9: return value_at<double>(source, 0);
        case 10: return static_cast<double>(value_at<int64_t>(source, 0));
        case 23: return value_at<float>(source, p * 4);
        case 24: return value_at<double>(source, p * 8);
        case 26: return static_cast<double>(value_at<int64_t>(source, p * 8));
        default: return -1.0;
    }
}

}  // namespace zentrail
