// A table of the engine's as an Arrow stream: text columns with nulls and
// dictionary-encoded columns as a consumer reads them, released in any
// order, and a failing source reported through the one stream.
#include "scan/table_arrow.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "scan/arrow_stream.h"

namespace {

using zentrail::OwnedColumn;

std::vector<OwnedColumn> sample_table() {
    OwnedColumn ids{"signal_id", "S", {5, 0, 7, 0, 9, 0}};
    OwnedColumn text;
    text.name = "text";
    text.arrow_format = "u";
    text.bytes = {'a', 'b', 'c'};
    text.offsets = {0, 2, 2, 3};
    text.validity = {0b101};  // the second row holds none
    text.null_count = 1;
    text.nullable = true;
    OwnedColumn names{"class_name", "C", {1, 0, 1}};
    names.dictionary = zentrail::text_dictionary({"System", "AlBool"});
    std::vector<OwnedColumn> table;
    table.push_back(std::move(ids));
    table.push_back(std::move(text));
    table.push_back(std::move(names));
    return table;
}

std::string text_at(const ArrowArray& array, int64_t row) {
    const auto* offsets = static_cast<const int32_t*>(array.buffers[1]);
    const auto* bytes = static_cast<const char*>(array.buffers[2]);
    return std::string(bytes + offsets[row], bytes + offsets[row + 1]);
}

TEST(TableArrow, TextAndDictionaryColumnsReadAsAConsumerReadsThem) {
    ArrowArrayStream stream;
    zentrail::export_table_stream(sample_table(), 3, &stream);
    ArrowSchema schema;
    ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
    ASSERT_EQ(schema.n_children, 3);
    EXPECT_STREQ(schema.children[1]->format, "u");
    EXPECT_EQ(schema.children[1]->flags & ARROW_FLAG_NULLABLE, ARROW_FLAG_NULLABLE);
    EXPECT_EQ(schema.children[0]->flags & ARROW_FLAG_NULLABLE, 0);
    ASSERT_NE(schema.children[2]->dictionary, nullptr);
    EXPECT_STREQ(schema.children[2]->dictionary->format, "u");

    ArrowArray batch;
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    ASSERT_NE(batch.release, nullptr);
    EXPECT_EQ(batch.length, 3);
    const ArrowArray& text = *batch.children[1];
    EXPECT_EQ(text.n_buffers, 3);
    EXPECT_EQ(text.null_count, 1);
    EXPECT_EQ(text_at(text, 0), "ab");
    EXPECT_EQ(text_at(text, 2), "c");
    EXPECT_EQ(static_cast<const uint8_t*>(text.buffers[0])[0] & 2, 0);
    const ArrowArray& names = *batch.children[2];
    ASSERT_NE(names.dictionary, nullptr);
    EXPECT_EQ(names.dictionary->length, 2);
    EXPECT_EQ(text_at(*names.dictionary, static_cast<const uint8_t*>(names.buffers[1])[0]), "AlBool");

    // A consumer may move a child out and release it after everything else.
    ArrowArray moved = *batch.children[2];
    batch.children[2]->release = nullptr;
    ArrowArray end;
    ASSERT_EQ(stream.get_next(&stream, &end), 0);
    EXPECT_EQ(end.release, nullptr);
    batch.release(&batch);
    schema.release(&schema);
    stream.release(&stream);
    EXPECT_EQ(text_at(*moved.dictionary, 1), "AlBool");
    moved.release(&moved);
}

TEST(TableArrow, AChildSchemaMovedOutKeepsItsNameFormatAndDictionary) {
    std::vector<OwnedColumn> table = sample_table();
    table.push_back(OwnedColumn{"first", "tsn:Europe/Berlin", std::vector<uint8_t>(24, 0)});
    ArrowSchema schema;
    zentrail::export_columns_schema(table, &schema);
    table.clear();
    ArrowSchema time = *schema.children[3];
    schema.children[3]->release = nullptr;
    ArrowSchema names = *schema.children[2];
    schema.children[2]->release = nullptr;
    schema.release(&schema);
    EXPECT_STREQ(time.format, "tsn:Europe/Berlin");
    EXPECT_STREQ(time.name, "first");
    time.release(&time);
    EXPECT_EQ(time.release, nullptr);
    EXPECT_STREQ(names.name, "class_name");
    ASSERT_NE(names.dictionary, nullptr);
    EXPECT_STREQ(names.dictionary->format, "u");
    names.release(&names);
}

class FailingSource : public zentrail::BatchSource {
public:
    void schema(ArrowSchema*) override { throw std::runtime_error("no schema here"); }
    bool next(ArrowArray*) override { throw std::bad_alloc(); }
};

TEST(TableArrow, ASourcesFailureIsTheStreamsErrorFromThenOn) {
    ArrowArrayStream stream;
    zentrail::export_stream(std::make_unique<FailingSource>(), &stream);
    EXPECT_EQ(stream.get_last_error(&stream), nullptr);
    ArrowSchema schema;
    EXPECT_EQ(stream.get_schema(&stream, &schema), EIO);
    EXPECT_STREQ(stream.get_last_error(&stream), "no schema here");
    ArrowArray batch;
    EXPECT_EQ(stream.get_next(&stream, &batch), EIO);  // stays failed, source released
    stream.release(&stream);
    EXPECT_EQ(stream.release, nullptr);
}

}  // namespace
