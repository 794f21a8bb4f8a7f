// Fuzz target for the wire codec: DecodeRecord on messages of any length, and both codec routines on field tables of any shape.
#include "fuzz_support.h"
#include "status_record.h"

#include <memory>
#include <vector>

namespace {

constexpr uint8_t kFill = 0xA5;

// Bytes of a whole number of the table's leading fields that fit in size.
size_t WholeFields(size_t size) {
    size_t pos = 0;
    for (uint32_t i = 0; i < kFieldTable.count; ++i) {
        if (kFieldTable.entries[i].size > size - pos) break;
        pos += kFieldTable.entries[i].size;
    }
    return pos;
}

// The message table: every transmitted field from the bytes, no local field touched,
// and a whole message encodes back to itself.
void MessageTable(std::span<const uint8_t> message) {
    auto record = std::make_unique<StatusRecord>();
    std::memset(record.get(), kFill, sizeof *record);
    const size_t used = DecodeRecord(message, kFieldTable, *record);
    FUZZ_CHECK(used == WholeFields(message.size()), "%zu bytes decoded of %zu", used, message.size());

    StatusRecord locals;
    std::memset(&locals, kFill, sizeof locals);
    FUZZ_CHECK(record->socket == locals.socket && record->hasData == locals.hasData &&
                   record->frameCounted == locals.frameCounted,
               "a local field was written by the decoder");
    if (used < kMessageLength) return;

    std::vector<uint8_t> again(kMessageLength);
    FUZZ_CHECK(EncodeRecord(*record, kFieldTable, again) == kMessageLength, "a decoded record does not encode");
    FUZZ_CHECK(std::memcmp(again.data(), message.data(), kMessageLength) == 0, "decode then encode changed the bytes");
    FUZZ_CHECK(HasRecordSignature(*record) == (std::memcmp(message.data(), RecordSignature, 16) == 0),
               "the signature check disagrees with the first 16 bytes");

    // The identity order is a total order: reflexive and antisymmetric.
    auto other = std::make_unique<StatusRecord>();
    std::memset(other.get(), 0, sizeof *other);
    DecodeRecord(message.subspan(message.size() >= 2 * kMessageLength ? kMessageLength : 0), kFieldTable, *other);
    FUZZ_CHECK(CompareJobIdentity(*record, *record) == 0, "a record differs from itself");
    const int ab = CompareJobIdentity(*record, *other), ba = CompareJobIdentity(*other, *record);
    FUZZ_CHECK((ab < 0) == (ba > 0) && (ab == 0) == (ba == 0), "identity order not antisymmetric: %d, %d", ab, ba);
}

// A table of any shape must never make either routine leave the record or the buffers.
void AnyTable(FuzzInput &in) {
    const uint32_t count = in.Byte() % 48;
    std::vector<FieldDesc> entries(count);
    for (FieldDesc &d : entries) {
        d.kind = static_cast<FieldKind>(in.Byte() & 3);
        d.offset = in.U16() % 1200;
        d.width = in.Byte();
        d.size = in.U16() % 800;
    }
    const FieldTable table{count, entries.data()};
    const std::span<const uint8_t> bytes = in.Rest();
    // Exact-size heap blocks, so a read or write past any of them is caught.
    auto message = std::make_unique<uint8_t[]>(bytes.size() + 1);
    std::memcpy(message.get(), bytes.data(), bytes.size());
    auto record = std::make_unique<StatusRecord>();
    std::memset(record.get(), 0, sizeof *record);
    const size_t used = DecodeRecord(std::span<const uint8_t>(message.get(), bytes.size()), table, *record);
    FUZZ_CHECK(used <= bytes.size(), "decoded %zu bytes of %zu", used, bytes.size());

    auto out = std::make_unique<uint8_t[]>(bytes.size() + 1);
    const size_t written = EncodeRecord(*record, table, std::span<uint8_t>(out.get(), bytes.size()));
    FUZZ_CHECK(written <= bytes.size(), "encoded %zu bytes into %zu", written, bytes.size());
    (void)MessageLength(table);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    if (in.Byte() & 1) {
        AnyTable(in);
    } else {
        MessageTable(in.Rest());
    }
    return 0;
}
