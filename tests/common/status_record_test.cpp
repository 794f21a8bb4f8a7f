// Tests of the status record's wire codec and job-identity order.
#include "status_record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Message = std::array<uint8_t, kMessageLength>;

// Every transmitted field set to a value whose bytes are easy to spot.
StatusRecord Filled() {
    StatusRecord r{};
    std::memcpy(r.signature, RecordSignature, 16);
    r.startTime = 0x0102030405060708ULL;
    r.passStartTime = 0x1112131415161718ULL;
    r.recentPassTime = -5;
    r.elapsedTime = 0x2122232425262728LL;
    r.lastPassTime = (1LL << 32) + 2;
    r.averagePassTime = 77;
    r.averageFrameTime = 231;
    r.passesPerFrame = 3;
    r.totalPasses = 300;
    r.passesDone = 4;
    r.currentFrame = 11;
    r.firstRenderedFrame = -1;
    r.passesPerFrameFixed = 1;
    r.cpuIndex = 2;
    std::memset(r.sceneName, 'N', sizeof r.sceneName);  // 260 bytes, no terminator
    std::strcpy(r.sceneFile, "C:\\shot.scn");
    r.scene08 = 0x08; r.scene12 = 0x12; r.scene16 = 0x16; r.scene20 = 0x20;
    r.sceneFirstFrame = 0x31; r.sceneLastFrame = 0x32; r.sceneFrameStep = 0x33;
    r.scene48 = 0x48; r.scene52 = 0x52;
    r.scene64 = 0x64; r.scene68 = 0x68; r.scene72 = 0x72; r.scene76 = 0x76;
    r.scene80 = 0x80; r.scene84 = 0x84; r.scene88 = 0x88;
    std::strcpy(r.sceneText40, "123456789.5000000000");
    std::strcpy(r.sceneText56, "0.0416666667");
    r.sceneFileTime = 0x01DB020304050607ULL;
    r.sceneFileSize = 0x100000002ULL;
    return r;
}

// The same record laid out by hand, offsets counted independently of the table.
Message HandBuilt() {
    Message m{};
    auto put = [&m](size_t at, uint64_t v, size_t n) {
        for (size_t i = 0; i < n; ++i) m[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    std::memcpy(&m[0], RecordSignature, 16);
    put(16, 3, 4);                          // passesPerFrame
    put(20, 4, 4);                          // passesDone
    put(24, 300, 4);                        // totalPasses
    put(28, (1ULL << 32) + 2, 8);           // lastPassTime
    put(36, 231, 8);                        // averageFrameTime
    put(44, 77, 8);                         // averagePassTime
    put(52, 0, 8);                          // reserved
    put(60, 0x2122232425262728ULL, 8);      // elapsedTime
    put(68, static_cast<uint64_t>(-5), 8);  // recentPassTime
    put(76, 1, 4);                          // passesPerFrameFixed
    put(80, 0xFFFFFFFF, 4);                 // firstRenderedFrame
    put(84, 0x1112131415161718ULL, 8);      // passStartTime
    put(92, 0x0102030405060708ULL, 8);      // startTime
    put(100, 11, 4);                        // currentFrame
    put(104, 2, 4);                         // cpuIndex
    std::memcpy(&m[108], "C:\\shot.scn", 11);  // sceneFile, 260
    put(368, 0x32, 4); put(372, 0x52, 4); put(376, 0x31, 4); put(380, 0x33, 4); put(384, 0x48, 4);
    put(388, 0x72, 4); put(392, 0x76, 4); put(396, 0x80, 4); put(400, 0x84, 4); put(404, 0x68, 4);
    put(408, 0x64, 4);
    std::memset(&m[412], 'N', 260);         // sceneName
    put(672, 0x08, 4); put(676, 0x12, 4); put(680, 0x88, 4); put(684, 0x20, 4); put(688, 0x16, 4);
    std::memcpy(&m[692], "123456789.5000000000", 20);  // sceneText40, 21
    std::memcpy(&m[713], "0.0416666667", 12);          // sceneText56, 21
    put(734, 0x01DB020304050607ULL, 8);     // sceneFileTime
    put(742, 0x100000002ULL, 8);            // sceneFileSize
    return m;
}

TEST(FieldTable, HasThirtyEightEntriesSummingTo750) {
    EXPECT_EQ(kFieldTable.count, 38u);
    EXPECT_EQ(MessageLength(kFieldTable), 750u);
}

TEST(Codec, EncoderMatchesHandBuiltMessage) {
    Message m{};
    ASSERT_EQ(EncodeRecord(Filled(), kFieldTable, m), kMessageLength);
    Message want = HandBuilt();
    for (size_t i = 0; i < kMessageLength; ++i)
        ASSERT_EQ(m[i], want[i]) << "byte " << i;
    EXPECT_EQ(m[15], 0x33);
}

struct ByteCase {
    const char *what;
    size_t offset;
    std::vector<uint8_t> bytes;
};

TEST(Codec, EdgeValuesTravelLittleEndian) {
    Message m{};
    EncodeRecord(Filled(), kFieldTable, m);
    const ByteCase cases[] = {
        {"-1 as FF FF FF FF", 80, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"2^32+2", 28, {2, 0, 0, 0, 1, 0, 0, 0}},
        {"signature's last byte", 15, {0x33}},
        {"passesPerFrame from the 17th byte", 16, {3, 0, 0, 0}},
        {"260-byte name, no terminator", 671, {'N', 0x08}},
    };
    for (const auto &c : cases)
        for (size_t i = 0; i < c.bytes.size(); ++i)
            EXPECT_EQ(m[c.offset + i], c.bytes[i]) << c.what << ", byte " << i;
}

TEST(Codec, HandBuiltMessageDecodesToFieldsAndLeavesLocalOnes) {
    Message m = HandBuilt();
    StatusRecord out{};
    out.socket = 42;
    out.hasData = 1;
    out.frameCounted = 5;
    ASSERT_EQ(DecodeRecord(m, kFieldTable, out), kMessageLength);
    EXPECT_EQ(out.socket, 42);
    EXPECT_EQ(out.hasData, 1u);
    EXPECT_EQ(out.frameCounted, 5u);
    EXPECT_EQ(out.firstRenderedFrame, -1);
    EXPECT_EQ(out.lastPassTime, (1LL << 32) + 2);
    EXPECT_TRUE(HasRecordSignature(out));
    StatusRecord want = Filled();
    want.socket = 42;
    want.hasData = 1;
    want.frameCounted = 5;
    EXPECT_EQ(std::memcmp(&want, &out, sizeof out), 0);
}

TEST(Codec, ShortBuffersAndBrokenTablesStayInBounds) {
    StatusRecord r = Filled();
    std::vector<uint8_t> shortOut(100, 0xEE);
    // Stops before the first field that does not fit: 16 + 4*3 + 8*9 = 100 is never reached whole.
    size_t n = EncodeRecord(r, kFieldTable, std::span<uint8_t>(shortOut.data(), 99));
    EXPECT_LE(n, 99u);
    EXPECT_EQ(shortOut[99], 0xEE);

    StatusRecord d{};
    EXPECT_LT(DecodeRecord(std::span<const uint8_t>(HandBuilt().data(), 20), kFieldTable, d), 21u);

    const FieldDesc bad[] = {
        {FieldKind::Int, 16, 4, 3},                                  // integer size 3: ends here
        {FieldKind::Raw, sizeof(StatusRecord) - 2, 4, 4},            // past the record's end
        {FieldKind::Int, sizeof(StatusRecord) - 4, 8, 8},
    };
    for (const FieldDesc &e : bad) {
        FieldTable t{1, &e};
        Message m{};
        StatusRecord x{};
        EXPECT_EQ(EncodeRecord(r, t, m), 0u);
        EXPECT_EQ(DecodeRecord(m, t, x), 0u);
    }
}

TEST(JobIdentity, FirstDifferingByteDecidesUnsigned) {
    struct Case {
        const char *what;
        void (*changeA)(StatusRecord &);
        void (*changeB)(StatusRecord &);
        int sign;
    };
    const Case cases[] = {
        {"equal", [](StatusRecord &) {}, [](StatusRecord &) {}, 0},
        {"local fields and progress ignored", [](StatusRecord &r) { r.cpuIndex = 9; r.passesDone = 1; r.socket = 3; },
         [](StatusRecord &) {}, 0},
        {"name byte 0x80 above 0x7F", [](StatusRecord &r) { r.sceneName[0] = '\x80'; },
         [](StatusRecord &r) { r.sceneName[0] = '\x7F'; }, 1},
        {"bytes after the terminator count", [](StatusRecord &r) { r.sceneFile[200] = 1; },
         [](StatusRecord &) {}, 1},
        {"integers compare low byte first: 0x100 < 0x01", [](StatusRecord &r) { r.sceneFileSize = 0x100; },
         [](StatusRecord &r) { r.sceneFileSize = 0x01; }, -1},
        {"name before file", [](StatusRecord &r) { r.sceneName[259] = 'A'; r.sceneFile[0] = 'Z'; },
         [](StatusRecord &r) { r.sceneName[259] = 'B'; r.sceneFile[0] = 'A'; }, -1},
        {"-1 frame sorts above 1", [](StatusRecord &r) { r.sceneFirstFrame = -1; },
         [](StatusRecord &r) { r.sceneFirstFrame = 1; }, 1},
    };
    for (const auto &c : cases) {
        StatusRecord a = Filled(), b = Filled();
        c.changeA(a);
        c.changeB(b);
        int got = CompareJobIdentity(a, b);
        int sign = (got > 0) - (got < 0);
        EXPECT_EQ(sign, c.sign) << c.what;
        EXPECT_EQ(-((CompareJobIdentity(b, a) > 0) - (CompareJobIdentity(b, a) < 0)), c.sign) << c.what;
        // The identity's byte string orders the same way.
        const int bytes = JobIdentityBytes(a).compare(JobIdentityBytes(b));
        EXPECT_EQ((bytes > 0) - (bytes < 0), c.sign) << c.what;
    }
}

TEST(JobIdentity, BytesAreTheFieldsInComparisonOrder) {
    std::string expected;
    auto put = [&expected](uint64_t v, size_t n) {
        for (size_t i = 0; i < n; ++i) expected += static_cast<char>(v >> (8 * i));
    };
    const StatusRecord r = Filled();
    expected.append(r.sceneName, 260);
    expected.append(r.sceneFile, 260);
    for (uint64_t v : {0x08, 0x12, 0x16, 0x20, 0x31, 0x32, 0x33}) put(v, 4);
    expected.append(r.sceneText40, 21);
    put(0x48, 4);
    put(0x52, 4);
    expected.append(r.sceneText56, 21);
    for (uint64_t v : {0x64, 0x68, 0x72, 0x76, 0x80, 0x84, 0x88}) put(v, 4);
    put(0x01DB020304050607ULL, 8);
    put(0x100000002ULL, 8);
    EXPECT_EQ(JobIdentityBytes(r), expected);
}

}  // namespace
