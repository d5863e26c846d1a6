// The text writer: one comma-separated line per item.
#include "output/text_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive_bytes.h"

namespace {

using namespace zentrail::testing;
using zentrail::ACI_WITH_DATE;
using zentrail::TextWriter;

// Everything a writer prints for `items`, in order.
std::string written(std::vector<ACI_WITH_DATE> items) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    TextWriter writer(out);
    for (ACI_WITH_DATE& a : items) writer.export_value(&a);
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

struct LineCase {
    ACI_WITH_DATE item;
    const char* line;
};

TEST(TextWriter, PrintsOneLinePerItem) {
    const std::vector<uint8_t> words = {0x00, 0x0A, 0x00, 0x14, 0x00, 0x1E};
    const LineCase cases[] = {
        {decoded_item(System, 1, 54, 0), ",,System,Executive events,BlockWarning,0,"},
        {decoded_item(System, 2, 4, 0), ",,System,Archive events,BlockUnknown,0,"},
        {decoded_item(System, 0, 61, 99), ",,System,Date Mark,OsError,0,"},
        {decoded_item(AlByte, 1, 1, 300, {7}), ",,AlByte,Hi,1,300,7"},
        {decoded_item(AlByte, 1, 2, 300, {7}), ",,AlByte,Hi,2,300,7,7"},
        {decoded_item(AlByte, 1, 0, 300, {7}), ",,AlByte,Hi,0,300,"},
        {decoded_item(AlBool, 0, 1, 8), ",,AlBool,H->L,1,8,"},
        {decoded_item(AlAckn, 1, 2, 7), ",,AlAckn,Hi/H,2,7,"},
        {decoded_item(AlString, 0, 1, 12), ",,AlString,Norm,1,12,,"},
        {decoded_item(AlDWord, 0, 1, 3, {0xFF, 0xFF, 0xFF, 0xFF}), ",,AlDWord,Lo,1,3,-1"},
        {decoded_item(AlFloat, 3, 2, 3, {0xBE, 0x80, 0x00, 0x00}), ",,AlFloat,HiHi,2,3,-0.250000,-0.250000"},
        {decoded_item(GrWord, 0, 3, 5, words), ",,GrWord,,,5,10,20,30"},
        {decoded_item(GrWord, 2, 3, 5, words), ",,GrWord,2,,5,10,20,30"},
        {decoded_item(GrBool, 0, 3, 9, {0x05}), ",,GrBool,,,9,on,off,on"},
        {decoded_item(GrBool, 0, 10, 9, {0x02, 0x01}), ",,GrBool,,,9,on,off,off,off,off,off,off,off,off,on"},
        {decoded_item(GrFloat, 0, 2, 4, {0x3F, 0xC0, 0x00, 0x00, 0xBE, 0x80, 0x00, 0x00}), ",,GrFloat,,,4,1.500000,-0.250000"},
        {decoded_item(GrLarge, 0, 1, 4, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB}), ",,GrLarge,,,4,-5.000000"},
        {decoded_item(GrShort, 0, 2, 2, {0xFF, 0xFF, 0x00, 0x02}), ",,GrShort,,,2,-1,2"},
        {decoded_item(GrByte, 0, 0, 5), ",,GrByte,,,5,"},
        {decoded_item(GrByte, 0, 1, 65535, {0xFF}), ",,GrByte,,,65535,255"},
        {decoded_item(GrTime, 0, 0, 6), ",,GrTime,,,6,,"},
        {decoded_item(GrTime, 0, 4, 6, {1, 2, 3, 4, 5, 6, 7, 8}), ",,GrTime,,,6,,"},
        {decoded_item(GrError, 1, 2, 6, {1, 2}), ",,GrError,1,,6,,"},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(written({c.item}), std::string(c.line) + "\n");
    }
}

TEST(TextWriter, KeepsNoStateBetweenItems) {
    EXPECT_EQ(written({decoded_item(GrWord, 0, 2, 5, {0, 1, 0, 2}), decoded_item(System, 1, 54, 0), decoded_item(AlByte, 0, 1, 3, {9})}),
              ",,GrWord,,,5,1,2\n,,System,Executive events,BlockWarning,0,\n,,AlByte,Lo,1,3,9\n");
}

TEST(TextWriter, DefaultsToStandardOutput) {
    ACI_WITH_DATE a = decoded_item(AlBool, 1, 0, 8);
    ::testing::internal::CaptureStdout();
    TextWriter().export_value(&a);
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), ",,AlBool,L->H,0,8,\n");
}

}  // namespace
