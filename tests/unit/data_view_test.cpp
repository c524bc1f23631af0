#include "data_view.h"

#include <gtest/gtest.h>

#include "utilities.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

using data_view::DataView;
using utilities::as_u32_le;
using utilities::vec_indexOf;

TEST(DataViewWrite, AppendsLittleEndianAndMovesThePosition) {
    Bytes out;
    DataView view(out, 0);
    view.setByte(3);
    view.setByte(3);
    view.setLittleEndian16(0x4472);
    EXPECT_EQ(to_hex(out), "03 03 72 44");
    EXPECT_EQ(view.position, 4);

    view.setLittleEndian32(0xCCCCCCCC);
    view.setLittleEndian64(1);
    EXPECT_EQ(to_hex(out), "03 03 72 44 CC CC CC CC 01 00 00 00 00 00 00 00");

    view.setBytes({});
    EXPECT_EQ(out.size(), 16u);
    EXPECT_EQ(view.position, 16);

    view.skipPositionWrite(8);
    EXPECT_EQ(out.size(), 24u);
    EXPECT_EQ(view.position, 24);
}

TEST(DataViewWrite, PatchesInPlaceWithoutGrowing) {
    Bytes out(46, 0);
    DataView view(out, 46);
    view.setLittleEndian32AtPosition(6, 0x80100022);
    EXPECT_EQ(out.size(), 46u);
    EXPECT_EQ(view.position, 10);
    EXPECT_EQ(to_hex(Bytes(out.begin() + 6, out.begin() + 10)), "22 00 10 80");

    view.setLittleEndian32AtPosition(44, 1);  // only two bytes exist there
    EXPECT_TRUE(view.failed());
    EXPECT_EQ(out.size(), 46u);
}

TEST(DataViewRead, ReadsAndSkips) {
    const Bytes in = from_hex("01 02 03 04 05 06 07 08 09 0A");
    DataView view(in, 0);
    EXPECT_EQ(view.getLittleEndian32(), 0x04030201u);
    Bytes copy;
    view.getBytes(0, copy);
    EXPECT_TRUE(copy.empty());
    EXPECT_EQ(view.position, 4);
    view.skipPositionRead(2);
    EXPECT_EQ(view.getByte(), 7);
    view.getBytes(3, copy);
    EXPECT_EQ(to_hex(copy), "08 09 0A");
    EXPECT_FALSE(view.failed());
    EXPECT_EQ(view.remaining(), 0u);
}

TEST(DataViewRead, NeverReadsOutsideTheMessage) {
    const Bytes in = from_hex("01 02 03");
    {
        DataView view(in, 0);
        EXPECT_EQ(view.getLittleEndian32(), 0u);  // only three bytes
        EXPECT_TRUE(view.failed());
        EXPECT_EQ(view.getByte(), 0);  // failure is sticky
    }
    {
        DataView view(in, 0);
        Bytes copy;
        view.getBytes(-1, copy);  // a negative count from the wire
        EXPECT_TRUE(view.failed());
        EXPECT_TRUE(copy.empty());
    }
    {
        DataView view(in, 1);
        Bytes copy;
        view.getBytes(0x7FFFFFFF, copy);  // far more than remains: nothing is allocated
        EXPECT_TRUE(view.failed());
        EXPECT_TRUE(copy.empty());
    }
    {
        DataView view(in, 0);
        view.skipPositionRead(4);
        EXPECT_TRUE(view.failed());
    }
    {
        DataView view(in, 0);
        view.skipPositionRead(-8);
        EXPECT_TRUE(view.failed());
        EXPECT_EQ(view.getByte(), 0);
    }
    {
        DataView view(in, 7);  // a start past the end
        EXPECT_EQ(view.getByte(), 0);
        EXPECT_TRUE(view.failed());
    }
}

TEST(DataViewRead, ReadOnlyViewRefusesWrites) {
    const Bytes in = from_hex("01");
    DataView view(in, 0);
    view.setByte(2);
    EXPECT_TRUE(view.failed());
    EXPECT_EQ(in.size(), 1u);
}

TEST(DataViewRead, AsciiStringStaysInPlace) {
    const Bytes in = from_hex("41 42 00 00 43");
    DataView at_text(in, 0);
    EXPECT_EQ(at_text.getAsciiString(), "AB");
    EXPECT_EQ(at_text.position, 0);
    DataView at_zero(in, 2);
    EXPECT_EQ(at_zero.getAsciiString(), "");
    DataView no_terminator(in, 4);
    EXPECT_EQ(no_terminator.getAsciiString(), "");

    const Bytes invalid = from_hex("41 FF 42 00");
    DataView bad(invalid, 0);
    EXPECT_EQ(bad.getAsciiString(),
              "A\xEF\xBF\xBD"
              "B");
}

TEST(Utilities, AsU32Le) {
    EXPECT_EQ(as_u32_le(from_hex("01 00 00 00")), 1u);
    EXPECT_EQ(as_u32_le(from_hex("02 01 00 00 00 00 00 00")), 258u);
    EXPECT_EQ(as_u32_le(from_hex("01 A0 00 00 00 00 00 80")), 0x800000000000A001u);
    EXPECT_EQ(as_u32_le(from_hex("01 02 03")), 0u);
    EXPECT_EQ(as_u32_le(Bytes(16, 1)), 0u);
    EXPECT_EQ(as_u32_le({}), 0u);
}

TEST(Utilities, VecIndexOf) {
    const Bytes v{1, 0, 2, 0};
    EXPECT_EQ(vec_indexOf(v, 0, 2), 3);
    EXPECT_EQ(vec_indexOf(v, 0, 0), 1);
    EXPECT_EQ(vec_indexOf(v, 0, 4), -1);
    EXPECT_EQ(vec_indexOf(v, 9, 0), -1);
    EXPECT_EQ(vec_indexOf(v, 0, -1), -1);
}

TEST(Utilities, Utf8FromPcscText) {
    EXPECT_EQ(utilities::u8_ptr_to_string("Virtual PCD 00 00"), "Virtual PCD 00 00");
    EXPECT_EQ(utilities::u8_ptr_to_string("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(utilities::u8_ptr_to_string("a\xC3(b"), "a\xEF\xBF\xBD(b");
    EXPECT_EQ(utilities::u8_ptr_to_string("\xED\xA0\x80"), "\xEF\xBF\xBD");  // a surrogate
    EXPECT_EQ(utilities::u8_ptr_to_string(nullptr), "");
}

}  // namespace
}  // namespace kx_agent::test
