// Rows of a columnar read, one array per column, of a fixed capacity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zentrail {

// Nanoseconds from 1970-01-01 to the archive's day 0, 2000-01-01.
constexpr int64_t ARCHIVE_EPOCH_UNIX_NS = 946684800LL * 1000000000LL;

// The columns, in their order, with the NumPy type string, the Arrow format
// string and the bytes of one value of each: the one list that the batch,
// the store, the NumPy arrays and the Arrow schema follow.
struct ColumnInfo {
    const char* name;
    const char* numpy_type;
    const char* arrow_format;
    std::size_t width;
};
inline constexpr ColumnInfo COLUMNS[] = {
    {"time", "datetime64[ns]", "tsn:", 8},
    {"signal_id", "uint16", "S", 2},
    {"element", "uint16", "S", 2},
    {"value", "float64", "g", 8},
    {"item_class", "uint8", "C", 1},
    {"subtype", "uint8", "C", 1},
};
constexpr std::size_t COLUMN_COUNT = sizeof(COLUMNS) / sizeof(COLUMNS[0]);

// The name columns, selected by their places after COLUMNS: the Arrow export
// derives them from a batch's codes as dictionary-encoded strings, so that
// frames show "GrWord" and "HiHi" with no table of their own. class_name's
// indices are the item_class column itself; subtype_name's are
// item_class * 8 + subtype, since a subtype's name depends on the class.
inline constexpr const char* NAME_COLUMNS[] = {"class_name", "subtype_name"};
constexpr std::size_t NAME_COLUMN_COUNT = sizeof(NAME_COLUMNS) / sizeof(NAME_COLUMNS[0]);
constexpr std::size_t CLASS_NAME_COLUMN = COLUMN_COUNT;
constexpr std::size_t SUBTYPE_NAME_COLUMN = COLUMN_COUNT + 1;
// Places of every column a selection may hold.
constexpr std::size_t SELECTABLE_COUNT = COLUMN_COUNT + NAME_COLUMN_COUNT;
inline const char* column_name(std::size_t place) {
    return place < COLUMN_COUNT ? COLUMNS[place].name : NAME_COLUMNS[place - COLUMN_COUNT];
}

namespace column_table {
constexpr std::size_t row_width() {
    std::size_t sum = 0;
    for (const ColumnInfo& c : COLUMNS) sum += c.width;
    return sum;
}
constexpr bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}
// Whether column i is `name`, with values of T.
template <typename T>
constexpr bool holds(std::size_t i, const char* name) {
    return i < COLUMN_COUNT && COLUMNS[i].width == sizeof(T) && same_text(COLUMNS[i].name, name);
}
}  // namespace column_table

// The place of the time column (its Arrow format carries a read's zone).
constexpr std::size_t TIME_COLUMN = 0;
static_assert(column_table::same_text(COLUMNS[TIME_COLUMN].name, "time"), "the time column is the first");

// Bytes one row takes over all columns.
constexpr std::size_t ROW_WIDTH = column_table::row_width();

class ColumnBatch {
public:
    explicit ColumnBatch(std::size_t capacity)
        : time(new int64_t[capacity]),
          signal_id(new uint16_t[capacity]),
          element(new uint16_t[capacity]),
          value(new double[capacity]),
          item_class(new uint8_t[capacity]),
          subtype(new uint8_t[capacity]),
          capacity(capacity) {}

    bool full() const { return rows == capacity; }

    void append(int64_t t, uint16_t id, uint16_t n, double v, uint8_t cls, uint8_t sub) {
        // Bytes may alias anything: with the row and the starts read once
        // beforehand, the byte stores do not force them to be read again.
        const std::size_t r = rows;
        uint8_t* const classes = item_class.get();
        uint8_t* const subtypes = subtype.get();
        time[r] = t;
        signal_id[r] = id;
        element[r] = n;
        value[r] = v;
        classes[r] = cls;
        subtypes[r] = sub;
        rows = r + 1;
    }

    // The start of column i (in the order of COLUMNS; see the checks below).
    const void* column(std::size_t i) const {
        const void* const starts[] = {time.get(), signal_id.get(), element.get(),
                                      value.get(), item_class.get(), subtype.get()};
        static_assert(sizeof starts / sizeof starts[0] == COLUMN_COUNT, "one array per column");
        return starts[i];
    }

    std::unique_ptr<int64_t[]> time;  // nanoseconds since 1970-01-01, naive wall-clock time
    std::unique_ptr<uint16_t[]> signal_id;
    std::unique_ptr<uint16_t[]> element;
    std::unique_ptr<double[]> value;
    std::unique_ptr<uint8_t[]> item_class;
    std::unique_ptr<uint8_t[]> subtype;
    std::size_t capacity;
    std::size_t rows = 0;
    // The place of the batch's file in the read's list: a consumer that
    // needs to know where one file's rows end (a time series) reads it.
    std::size_t file = 0;
};

// Each array of the batch stores the column of its place in column(), with
// values of the column's width.
namespace column_table {
template <typename Array>
using element_of = typename Array::element_type;
static_assert(holds<element_of<decltype(ColumnBatch::time)>>(0, "time"), "column 0");
static_assert(holds<element_of<decltype(ColumnBatch::signal_id)>>(1, "signal_id"), "column 1");
static_assert(holds<element_of<decltype(ColumnBatch::element)>>(2, "element"), "column 2");
static_assert(holds<element_of<decltype(ColumnBatch::value)>>(3, "value"), "column 3");
static_assert(holds<element_of<decltype(ColumnBatch::item_class)>>(4, "item_class"), "column 4");
static_assert(holds<element_of<decltype(ColumnBatch::subtype)>>(5, "subtype"), "column 5");
}  // namespace column_table

}  // namespace zentrail
