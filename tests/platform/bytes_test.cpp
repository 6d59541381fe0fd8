#include "platform/bytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessomar::platform {
namespace {

using Bytes = std::vector<uint8_t>;

enum class Op {
  U8,
  U16le,
  U16be,
  U24le,
  U24be,
  U32le,
  U32be,
  U64le,
  U64be,
  Fourcc,
  PeekU16be,
  PeekU32le,
  PeekU64be,
  Skip2,
  Seek9,
};

// Returns what the operation read (0 for skip and seek).
uint64_t apply(ByteReader& r, Op op) {
  switch (op) {
    case Op::U8:
      return r.u8();
    case Op::U16le:
      return r.u16le();
    case Op::U16be:
      return r.u16be();
    case Op::U24le:
      return r.u24le();
    case Op::U24be:
      return r.u24be();
    case Op::U32le:
      return r.u32le();
    case Op::U32be:
      return r.u32be();
    case Op::U64le:
      return r.u64le();
    case Op::U64be:
      return r.u64be();
    case Op::Fourcc:
      return r.fourcc();
    case Op::PeekU16be:
      return r.peek_u16be();
    case Op::PeekU32le:
      return r.peek_u32le();
    case Op::PeekU64be:
      return r.peek_u64be();
    case Op::Skip2:
      r.skip(2);
      return 0;
    case Op::Seek9:
      r.seek(9);
      return 0;
  }
  return 0;
}

const Bytes kCount = {1, 2, 3, 4, 5, 6, 7, 8, 9};

struct ReadCase {
  const char* name;
  Bytes bytes;
  std::vector<Op> reads;
  std::vector<uint64_t> values;
  bool error;
  size_t pos;  // where the reader stands afterwards
};

TEST(ByteReaderTest, ReadsBothOrdersAndStopsAtTheEnd) {
  const ReadCase cases[] = {
      {"u8 then le words",
       kCount,
       {Op::U8, Op::U16le, Op::U32le},
       {1, 0x0302, 0x07060504},
       false,
       7},
      {"be words",
       kCount,
       {Op::U16be, Op::U24be, Op::U32be},
       {0x0102, 0x030405, 0x06070809},
       false,
       9},
      {"24-bit le", kCount, {Op::U24le, Op::U24le}, {0x030201, 0x060504}, false, 6},
      {"64-bit le", kCount, {Op::U64le}, {0x0807060504030201}, false, 8},
      {"64-bit be", kCount, {Op::U8, Op::U64be}, {1, 0x0203040506070809}, false, 9},
      {"fourcc is the characters in order",
       {'m', 'o', 'o', 'v'},
       {Op::Fourcc},
       {fourcc_value("moov")},
       false,
       4},
      {"peek does not move",
       kCount,
       {Op::PeekU16be, Op::PeekU32le, Op::U8},
       {0x0102, 0x04030201, 1},
       false,
       1},
      {"skip moves on", kCount, {Op::Skip2, Op::U8}, {0, 3}, false, 3},
      {"a read past the end yields zero and stays put",
       {1, 2, 3},
       {Op::U16le, Op::U16le},
       {0x0201, 0},
       true,
       2},
      {"the error sticks although bytes remain", {1, 2, 3}, {Op::U32le, Op::U8}, {0, 0}, true, 0},
      {"a peek past the end sets the error",
       kCount,
       {Op::Skip2, Op::PeekU64be, Op::U8},
       {0, 0, 0},
       true,
       2},
      {"a skip past the end sets the error", {1}, {Op::Skip2, Op::U8}, {0, 0}, true, 0},
      {"seek to the end is allowed, reading there is not",
       kCount,
       {Op::Seek9, Op::U8},
       {0, 0},
       true,
       9},
      {"empty input", {}, {Op::U8}, {0}, true, 0},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    ByteReader r(c.bytes);
    std::vector<uint64_t> got;
    for (Op op : c.reads) got.push_back(apply(r, op));
    EXPECT_EQ(got, c.values);
    EXPECT_EQ(r.error(), c.error);
    EXPECT_EQ(r.pos(), c.pos);
  }
}

TEST(ByteReaderTest, BytesCopiesOutOrNothing) {
  const Bytes in = {9, 8, 7};
  ByteReader r(in);
  uint8_t out[4] = {};
  EXPECT_TRUE(r.bytes(out, 2));
  EXPECT_EQ(Bytes(out, out + 2), (Bytes{9, 8}));
  EXPECT_FALSE(r.bytes(out, 2));
  EXPECT_EQ(out[0], 9);  // untouched
  EXPECT_TRUE(r.error());
}

struct WriteCase {
  const char* name;
  size_t capacity;
  void (*write)(ByteWriter&);
  Bytes bytes;  // the whole buffer afterwards (it starts as 0xEE)
  bool error;
};

TEST(ByteWriterTest, WritesBothOrdersAndStopsAtTheEnd) {
  const WriteCase cases[] = {
      {"le words",
       7,
       [](ByteWriter& w) {
         w.u8(1);
         w.u16le(0x0302);
         w.u32le(0x07060504);
       },
       {1, 2, 3, 4, 5, 6, 7},
       false},
      {"be words",
       9,
       [](ByteWriter& w) {
         w.u16be(0x0102);
         w.u24be(0x030405);
         w.u32be(0x06070809);
       },
       {1, 2, 3, 4, 5, 6, 7, 8, 9},
       false},
      {"24-bit le keeps the low bits",
       3,
       [](ByteWriter& w) { w.u24le(0xFF030201); },
       {1, 2, 3},
       false},
      {"64-bit",
       16,
       [](ByteWriter& w) {
         w.u64le(0x0807060504030201);
         w.u64be(0x0102030405060708);
       },
       {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8},
       false},
      {"fourcc, text and zeros",
       8,
       [](ByteWriter& w) {
         w.fourcc("ftyp");
         w.text("ab");
         w.zeros(2);
       },
       {'f', 't', 'y', 'p', 'a', 'b', 0, 0},
       false},
      {"skip leaves bytes, seek goes back",
       4,
       [](ByteWriter& w) {
         w.skip(2);
         w.u8(5);
         w.seek(0);
         w.u8(4);
       },
       {4, 0xEE, 5, 0xEE},
       false},
      {"a write past the end writes nothing",
       3,
       [](ByteWriter& w) {
         w.u16be(0x0102);
         w.u16be(0x0304);
       },
       {1, 2, 0xEE},
       true},
      {"the error sticks although room remains",
       3,
       [](ByteWriter& w) {
         w.u32le(1);
         w.u8(9);
       },
       {0xEE, 0xEE, 0xEE},
       true},
      {"a fourcc must have four characters",
       4,
       [](ByteWriter& w) { w.fourcc("abc"); },
       {0xEE, 0xEE, 0xEE, 0xEE},
       true},
      {"seek past the end", 2, [](ByteWriter& w) { w.seek(3); }, {0xEE, 0xEE}, true},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buffer(c.capacity, 0xEE);
    ByteWriter w(buffer);
    c.write(w);
    EXPECT_EQ(buffer, c.bytes);
    EXPECT_EQ(w.error(), c.error);
  }
}

TEST(BytesTest, UncheckedWordsKeepTheirOrder) {
  Bytes b(9);
  store_u16be(b.data(), 0xA1B2);
  store_u24le(b.data() + 2, 0xC3D4E5);
  store_u32be(b.data() + 5, 0x01020304);
  EXPECT_EQ(b, (Bytes{0xA1, 0xB2, 0xE5, 0xD4, 0xC3, 1, 2, 3, 4}));
  EXPECT_EQ(load_u16be(b.data()), 0xA1B2);
  EXPECT_EQ(load_u24le(b.data() + 2), 0xC3D4E5u);
  EXPECT_EQ(load_u32le(b.data() + 5), 0x04030201u);
  store_u64be(b.data(), 0x1122334455667788);
  EXPECT_EQ(load_u64le(b.data()), 0x8877665544332211u);
}

}  // namespace
}  // namespace tessomar::platform
