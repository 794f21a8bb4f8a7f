// The per-CPU status record shared by plug-in and server, and its table-driven 750-byte wire codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

inline constexpr uint16_t STATUS_PORT = 10431;
inline constexpr size_t kTextSize = 260;      // names and paths: the platform's path limit
inline constexpr size_t kSceneRealText = 21;  // "%#.10f" cut at 20 characters, then NUL

// Ticks are 100 ns units; instants are ticks since 1601-01-01 UTC.
struct StatusRecord {
    uint8_t signature[16];
    uint64_t startTime;
    uint64_t passStartTime;
    int64_t recentPassTime;
    int64_t elapsedTime;
    int64_t lastPassTime;
    uint64_t reserved;
    int64_t averagePassTime;
    int64_t averageFrameTime;
    uint32_t passesPerFrame;
    uint32_t totalPasses;
    uint32_t passesDone;
    int32_t currentFrame;
    int32_t firstRenderedFrame;
    uint32_t passesPerFrameFixed;
    int64_t socket;  // local: connection handle (a NetSocket, net.h), kNoNetSocket when none
    int32_t cpuIndex;
    union {          // local: server side says hasData, plug-in side netStarted
        uint32_t hasData;
        uint32_t netStarted;
    };
    uint32_t frameCounted;  // local, plug-in only
    // Job identity: sceneName .. sceneFileSize.
    char sceneName[kTextSize];
    char sceneFile[kTextSize];
    int32_t scene08, scene12, scene16, scene20;
    int32_t sceneFirstFrame;
    int32_t sceneLastFrame;
    int32_t sceneFrameStep;
    char sceneText40[kSceneRealText];
    int32_t scene48, scene52;
    char sceneText56[kSceneRealText];
    int32_t scene64, scene68, scene72, scene76, scene80, scene84, scene88;
    uint64_t sceneFileTime;
    uint64_t sceneFileSize;
};

enum class FieldKind : uint8_t { Int = 0, Raw = 1 };

// One transmitted field: where it lives in the record, how wide it is
// there, and how many bytes it takes on the wire.
struct FieldDesc {
    FieldKind kind;
    uint16_t offset;
    uint16_t width;
    uint16_t size;
};

struct FieldTable {
    uint32_t count;
    const FieldDesc *entries;
};

inline constexpr uint8_t RecordSignature[16] = {0x6B, 0x65, 0x95, 0x5C, 0x81, 0x8C, 0x4D, 0xD8,
                                                0x9A, 0x6D, 0xAA, 0x48, 0x3C, 0xDF, 0xD6, 0x33};

// The wire order of the status message: the only definition of it.
extern const FieldTable kFieldTable;

inline constexpr uint32_t kMessageLength = 750;

// Sum of the entries' wire sizes (750 for kFieldTable).
uint32_t MessageLength(const FieldTable &table);

// Writes the table's fields into out; returns the bytes written. Stops at an
// entry it cannot encode (bad size, or one that would leave the record or out).
size_t EncodeRecord(const StatusRecord &record, const FieldTable &table, std::span<uint8_t> out);

// Reads the table's fields from message into record, leaving local fields
// alone; returns the bytes consumed, stopping where the table is unusable.
size_t DecodeRecord(std::span<const uint8_t> message, const FieldTable &table, StatusRecord &record);

// True when the record carries the RecordSignature.
bool HasRecordSignature(const StatusRecord &record);

// Orders two job identities as one byte string (text at full width, integers
// as little-endian bytes), unsigned, first differing byte deciding: <0, 0, >0.
int CompareJobIdentity(const StatusRecord &a, const StatusRecord &b);
// That byte string itself, for keeping a job's data across records.
std::string JobIdentityBytes(const StatusRecord &record);
// The 16 hex digits that name a job identity (its JobIdentityBytes) in the
// documents and the run history: FNV-1a of the bytes.
std::string JobHexId(std::string_view identityBytes);
