// The plugin boundary's records and constants, checked field by field
// against the published layout tables: offset, width and signedness of every
// field, size of every record, value of every constant. Plugins built by
// other compilers rely on exactly these numbers.

#include "tessard_plugin.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

namespace {

struct Field {
    std::string name;
    std::size_t offset, expectedOffset;
    std::size_t width, expectedWidth;
};

#define FIELD(record, member, offset, width) \
    Field { #record "." #member, offsetof(record, member), offset, sizeof(record::member), width }

void expectLayout(const std::vector<Field>& fields, std::size_t size, std::size_t expectedSize,
                  const char* record) {
    EXPECT_EQ(size, expectedSize) << "size of " << record;
    for (const Field& field : fields) {
        EXPECT_EQ(field.offset, field.expectedOffset) << "offset of " << field.name;
        EXPECT_EQ(field.width, field.expectedWidth) << "width of " << field.name;
    }
}

TEST(RecordLayout, RecordHeader) {
    expectLayout({FIELD(RecordHeader, size, 0, 4), FIELD(RecordHeader, version, 4, 4)},
                 sizeof(RecordHeader), 8, "RecordHeader");
}

TEST(RecordLayout, CoreMessage) {
    expectLayout({FIELD(CoreMessage, size, 0, 4), FIELD(CoreMessage, version, 4, 4),
                  FIELD(CoreMessage, length, 8, 4), FIELD(CoreMessage, reserved0, 12, 4),
                  FIELD(CoreMessage, payload, 16, 8), FIELD(CoreMessage, source, 24, 8),
                  FIELD(CoreMessage, handle, 32, 8), FIELD(CoreMessage, flags, 40, 8),
                  FIELD(CoreMessage, type, 48, 8), FIELD(CoreMessage, extra, 56, 168)},
                 sizeof(CoreMessage), 224, "CoreMessage");
    // sequenceStart is byte 82 of the record, inside extra.
    EXPECT_EQ(offsetof(CoreMessage, extra) + CORE_MESSAGE_SEQUENCE_START, 82u);
    EXPECT_TRUE(std::is_unsigned<decltype(CoreMessage::length)>::value);
}

TEST(RecordLayout, CoreStatus) {
    expectLayout({FIELD(CoreStatus, size, 0, 4), FIELD(CoreStatus, version, 4, 4),
                  FIELD(CoreStatus, code, 8, 4)},
                 sizeof(CoreStatus), 12, "CoreStatus");
    EXPECT_TRUE(std::is_signed<decltype(CoreStatus::code)>::value);
}

TEST(RecordLayout, LoadContext) {
    expectLayout({FIELD(LoadContext, size, 0, 4), FIELD(LoadContext, version, 4, 4),
                  FIELD(LoadContext, coreHandle, 8, 8), FIELD(LoadContext, callback, 16, 8)},
                 sizeof(LoadContext), 24, "LoadContext");
}

TEST(RecordLayout, PluginInfo) {
    expectLayout({FIELD(PluginInfo, size, 0, 4), FIELD(PluginInfo, version, 4, 4),
                  FIELD(PluginInfo, id, 8, 8), FIELD(PluginInfo, eventMasks, 16, 72),
                  FIELD(PluginInfo, reserved0, 88, 8), FIELD(PluginInfo, ioctlOnLoad, 96, 1),
                  FIELD(PluginInfo, reserved1, 97, 1), FIELD(PluginInfo, readPolling, 98, 1),
                  FIELD(PluginInfo, writeEvents, 99, 1), FIELD(PluginInfo, reserved2, 100, 4),
                  FIELD(PluginInfo, loadError, 104, 4), FIELD(PluginInfo, reserved3, 108, 4)},
                 sizeof(PluginInfo), 112, "PluginInfo");
    // Entry 5, the close order key, sits at byte 56.
    EXPECT_EQ(offsetof(PluginInfo, eventMasks) + 5 * sizeof(std::uint64_t), 56u);
    EXPECT_EQ(sizeof(PluginInfo::eventMasks) / sizeof(PluginInfo::eventMasks[0]), 9u);
    EXPECT_TRUE(std::is_signed<decltype(PluginInfo::loadError)>::value);
}

TEST(RecordLayout, LifeCycleRecords) {
    expectLayout({FIELD(OpenParams, size, 0, 4), FIELD(OpenParams, version, 4, 4),
                  FIELD(OpenParams, reserved, 8, 16)},
                 sizeof(OpenParams), 24, "OpenParams");
    expectLayout({FIELD(OpenResult, size, 0, 4), FIELD(OpenResult, version, 4, 4),
                  FIELD(OpenResult, pluginArea, 8, 8)},
                 sizeof(OpenResult), 16, "OpenResult");
    expectLayout({FIELD(CloseParams, size, 0, 4), FIELD(CloseParams, version, 4, 4),
                  FIELD(CloseParams, code, 8, 4)},
                 sizeof(CloseParams), 12, "CloseParams");
    expectLayout({FIELD(UnloadParams, size, 0, 4), FIELD(UnloadParams, version, 4, 4)},
                 sizeof(UnloadParams), 8, "UnloadParams");
}

TEST(RecordLayout, ReadRecords) {
    expectLayout({FIELD(ReadRequest, size, 0, 4), FIELD(ReadRequest, version, 4, 4),
                  FIELD(ReadRequest, reserved0, 8, 4), FIELD(ReadRequest, onWorker, 12, 1),
                  FIELD(ReadRequest, reserved1, 13, 3), FIELD(ReadRequest, length, 16, 4),
                  FIELD(ReadRequest, reserved2, 20, 4), FIELD(ReadRequest, payload, 24, 8),
                  FIELD(ReadRequest, handle, 32, 8)},
                 sizeof(ReadRequest), 40, "ReadRequest");
    expectLayout({FIELD(ReadReply, size, 0, 4), FIELD(ReadReply, version, 4, 4),
                  FIELD(ReadReply, reserved, 8, 24)},
                 sizeof(ReadReply), 32, "ReadReply");
}

TEST(RecordLayout, WriteRecords) {
    expectLayout({FIELD(WriteRequest, size, 0, 4), FIELD(WriteRequest, version, 4, 4),
                  FIELD(WriteRequest, reserved0, 8, 4), FIELD(WriteRequest, onWorker, 12, 1),
                  FIELD(WriteRequest, padding0, 13, 3), FIELD(WriteRequest, length, 16, 4),
                  FIELD(WriteRequest, padding1, 20, 4), FIELD(WriteRequest, payload, 24, 8),
                  FIELD(WriteRequest, source, 32, 8), FIELD(WriteRequest, handle, 40, 8),
                  FIELD(WriteRequest, flags, 48, 8), FIELD(WriteRequest, type, 56, 8),
                  FIELD(WriteRequest, extra, 64, 168)},
                 sizeof(WriteRequest), 232, "WriteRequest");
    expectLayout({FIELD(WriteReply, size, 0, 4), FIELD(WriteReply, version, 4, 4),
                  FIELD(WriteReply, reserved, 8, 20), FIELD(WriteReply, retain, 28, 4)},
                 sizeof(WriteReply), 32, "WriteReply");
    // From byte 16 on, a WriteRequest is the event's bytes 8 to 223.
    EXPECT_EQ(offsetof(WriteRequest, length) - offsetof(CoreMessage, length), 8u);
    EXPECT_EQ(offsetof(WriteRequest, extra) - offsetof(CoreMessage, extra), 8u);
}

TEST(RecordLayout, IoctlRecords) {
    expectLayout({FIELD(PayloadRef, size, 0, 4), FIELD(PayloadRef, version, 4, 4),
                  FIELD(PayloadRef, length, 8, 4), FIELD(PayloadRef, reserved, 12, 4),
                  FIELD(PayloadRef, payload, 16, 8)},
                 sizeof(PayloadRef), 24, "PayloadRef");
    expectLayout({FIELD(IoctlRequest, size, 0, 4), FIELD(IoctlRequest, version, 4, 4),
                  FIELD(IoctlRequest, code, 8, 4), FIELD(IoctlRequest, reserved, 12, 4),
                  FIELD(IoctlRequest, payloadRef, 16, 24)},
                 sizeof(IoctlRequest), 40, "IoctlRequest");
    expectLayout({FIELD(IoctlReply, size, 0, 4), FIELD(IoctlReply, version, 4, 4),
                  FIELD(IoctlReply, code, 8, 4), FIELD(IoctlReply, reserved, 12, 4),
                  FIELD(IoctlReply, retain, 16, 4), FIELD(IoctlReply, empty, 20, 8)},
                 sizeof(IoctlReply), 28, "IoctlReply");
}

TEST(BoundaryConstants, FlagBits) {
    EXPECT_EQ(MSG_SELECT_0, 0x1u);
    EXPECT_EQ(MSG_SELECT_1, 0x2u);
    EXPECT_EQ(MSG_SELECT_2, 0x4u);
    EXPECT_EQ(MSG_SELECT_3, 0x8u);
    EXPECT_EQ(MSG_SELECT_4, 0x10u);
    EXPECT_EQ(MSG_SELECT_5, 0x20u);
    EXPECT_EQ(MSG_SELECT_6, 0x40u);
    EXPECT_EQ(MSG_SELECT_7, 0x80u);
    EXPECT_EQ(MSG_TO_OTHERS, 0x100u);
    EXPECT_EQ(MSG_RELEASE, 0x200u);
    EXPECT_EQ(MSG_SELECT_8, 0x400u);
    EXPECT_EQ(MSG_TO_ALL, 0x800u);
    EXPECT_EQ(MSG_CANCEL, 0x1000u);
    // The flags word is 64 bits wide, so the constants must be too.
    EXPECT_EQ(sizeof(MSG_SELECT_0), 8u);
    EXPECT_EQ(sizeof(MSG_CANCEL), 8u);
}

TEST(BoundaryConstants, TypesIdsAndCodes) {
    EXPECT_EQ(MSG_TYPE_SEQUENCED, 0x1000000u);
    EXPECT_EQ(MSG_TYPE_TEXT, 0x1000002u);
    EXPECT_EQ(MSG_TYPE_XML, 0x1000010u);
    EXPECT_EQ(CORE_ID, 0x80000000u);
    EXPECT_EQ(sizeof(CORE_ID), 8u);
    EXPECT_EQ(static_cast<std::int32_t>(static_cast<std::uint32_t>(CORE_ID)), -2147483647 - 1);

    EXPECT_EQ(STATUS_OK, 0);
    EXPECT_EQ(STATUS_CANCELLED, 1);
    EXPECT_EQ(STATUS_NO_SEQUENCE, 3);
    EXPECT_EQ(STATUS_OVERRUN, 4);
    EXPECT_EQ(STATUS_THROTTLED, 5);
    EXPECT_EQ(STATUS_NO_MEMORY, -1);

    EXPECT_EQ(IOCTL_ON_LOAD, 1);
    EXPECT_EQ(IOCTL_TO_OTHERS, 2);
    EXPECT_EQ(IOCTL_TO_ALL, 3);
}

}  // namespace
