#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "aError.h"

namespace {

struct ErrorCase {
    aErr code;
    const char* name;
    const char* description;
};

const ErrorCase kErrors[] = {
    {aErrNone, "aErrNone", "Success, no error"},
    {aErrMemory, "aErrMemory", "Memory allocation"},
    {aErrParam, "aErrParam", "Invalid parameter"},
    {aErrNotFound, "aErrNotFound", "Not found"},
    {aErrFileNameLength, "aErrFileNameLength", "File name too long"},
    {aErrBusy, "aErrBusy", "Resource busy"},
    {aErrIO, "aErrIO", "Input/Output error"},
    {aErrMode, "aErrMode", "Invalid Mode"},
    {aErrWrite, "aErrWrite", "Write error"},
    {aErrRead, "aErrRead", "Read error"},
    {aErrEOF, "aErrEOF", "End of file"},
    {aErrNotReady, "aErrNotReady", "Not ready, no bytes available"},
    {aErrPermission, "aErrPermission", "Insufficient permissions"},
    {aErrRange, "aErrRange", "Value out of range"},
    {aErrSize, "aErrSize", "Invalid Size"},
    {aErrOverrun, "aErrOverrun", "Buffer/queue overrun"},
    {aErrParse, "aErrParse", "Parse error"},
    {aErrConfiguration, "aErrConfiguration", "Configuration error"},
    {aErrTimeout, "aErrTimeout", "Timeout occurred"},
    {aErrInitialization, "aErrInitialization", "Initialization error"},
    {aErrVersion, "aErrVersion", "Invalid version"},
    {aErrUnimplemented, "aErrUnimplemented", "Functionality unimplemented"},
    {aErrDuplicate, "aErrDuplicate", "Duplicate request"},
    {aErrCancel, "aErrCancel", "Cancellation occurred, or did not complete"},
    {aErrPacket, "aErrPacket", "Packet byte invalid"},
    {aErrConnection, "aErrConnection", "Connection error"},
    {aErrIndexRange, "aErrIndexRange", "Index out of range"},
    {aErrShortCommand, "aErrShortCommand", "Tessaline command to short"},
    {aErrInvalidEntity, "aErrInvalidEntity", "Invalid entity error"},
    {aErrInvalidOption, "aErrInvalidOption", "Invalid option code"},
    {aErrResource, "aErrResource", "Resource unavailable"},
    {aErrMedia, "aErrMedia", "Media error"},
    {aErrAsyncReturn, "aErrAsyncReturn", "Asynchronous return error"},
    {aErrStreamStale, "aErrStreamStale", "Stream value is stale"},
    {aErrUnknown, "aErrUnknown", "Unknown error"},
};

TEST(ErrorText, EveryCodeHasItsNameAndDescription)
{
    ASSERT_EQ(std::size(kErrors), static_cast<size_t>(aERR_COUNT));
    for (size_t i = 0; i < std::size(kErrors); ++i) {
        const ErrorCase& c = kErrors[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(static_cast<uint32_t>(c.code), i) << "codes run densely from 0";
        EXPECT_STREQ(aError_GetErrorText(c.code), c.name);
        EXPECT_STREQ(aError_GetErrorDescription(c.code), c.description);
        EXPECT_STREQ(ERROR_TEXT[i], c.name);
        EXPECT_STREQ(ERROR_DESCRIPTION[i], c.description);
    }
}

TEST(ErrorText, CodesAboveTheTableGiveTheUnknownEntry)
{
    const uint32_t outOfRange[] = {35, 36, 100, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    for (uint32_t value : outOfRange) {
        SCOPED_TRACE(value);
        EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(value)), "aErrUnknown");
        EXPECT_STREQ(aError_GetErrorDescription(static_cast<aErr>(value)), "Unknown error");
    }
}

TEST(ErrorText, TextsAreStableAcrossCallsAndDistinct)
{
    std::set<std::string> names;
    for (uint32_t i = 0; i < aERR_COUNT; ++i) {
        const char* first = aError_GetErrorText(static_cast<aErr>(i));
        EXPECT_EQ(first, aError_GetErrorText(static_cast<aErr>(i))) << "static strings";
        names.insert(first);
    }
    EXPECT_EQ(names.size(), static_cast<size_t>(aERR_COUNT));
}

TEST(ErrorType, IsAnUnsigned32BitCode)
{
    static_assert(sizeof(aErr) == 4);
    static_assert(std::is_unsigned_v<std::underlying_type_t<aErr>>);
    EXPECT_EQ(static_cast<uint32_t>(aErrUnknown), 34u);
}

} // namespace
