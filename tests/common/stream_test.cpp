#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "TempDir.h"
#include "aStream.h"

namespace {

// A transport that plays a script: each step hands out one byte or answers one result code.
struct Script {
    struct Step {
        aErr result;
        uint8_t byte;
    };
    std::deque<Step> steps;
    aErr whenEmpty = aErrEOF;
    int getCalls = 0;

    std::string putBytes;
    int putCalls = 0;
    aErr putResult = aErrNone;
    int failPutAfter = -1; // put fails from this call on (-1: never)

    std::vector<std::string> writes;
    aErr writeResult = aErrNone;

    int deleteCalls = 0;
    aErr deleteResult = aErrNone;

    Script& bytes(const std::string& text)
    {
        for (char c : text)
            steps.push_back({aErrNone, static_cast<uint8_t>(c)});
        return *this;
    }
    Script& then(aErr result)
    {
        steps.push_back({result, 0});
        return *this;
    }

    static aErr get(uint8_t* out, void* ref)
    {
        auto* s = static_cast<Script*>(ref);
        ++s->getCalls;
        if (s->steps.empty())
            return s->whenEmpty;
        const Step step = s->steps.front();
        s->steps.pop_front();
        if (step.result == aErrNone)
            *out = step.byte;
        return step.result;
    }
    static aErr put(const uint8_t* byte, void* ref)
    {
        auto* s = static_cast<Script*>(ref);
        if (s->failPutAfter >= 0 && s->putCalls >= s->failPutAfter) {
            ++s->putCalls;
            return s->putResult;
        }
        ++s->putCalls;
        s->putBytes.push_back(static_cast<char>(*byte));
        return aErrNone;
    }
    static aErr write(const uint8_t* data, size_t length, void* ref)
    {
        auto* s = static_cast<Script*>(ref);
        s->writes.emplace_back(reinterpret_cast<const char*>(data), length);
        return s->writeResult;
    }
    static aErr destroy(void* ref)
    {
        auto* s = static_cast<Script*>(ref);
        ++s->deleteCalls;
        return s->deleteResult;
    }
};

// Owns a stream over a script for the length of one test.
class ScriptStream {
public:
    explicit ScriptStream(Script& script, bool get = true, bool put = true, bool write = true)
        : stream_(aStream_Create(get ? Script::get : nullptr, put ? Script::put : nullptr,
                                 write ? Script::write : nullptr, Script::destroy, &script))
    {
    }
    ~ScriptStream()
    {
        if (stream_ != nullptr)
            aStream_Destroy(&stream_);
    }
    aStream* get() const { return stream_; }

private:
    aStream* stream_;
};

std::string text(const uint8_t* data, size_t length)
{
    return std::string(reinterpret_cast<const char*>(data), length);
}

// Everything the stream still yields until it stops delivering bytes.
std::string drain(aStream* stream)
{
    std::string rest;
    uint8_t byte = 0;
    while (aStream_Read(stream, &byte, 1) == aErrNone)
        rest.push_back(static_cast<char>(byte));
    return rest;
}

TEST(StreamRead, NotReadyKeepsTheBytesForTheNextRead)
{
    Script script;
    script.bytes("abc").then(aErrNotReady);
    ScriptStream s(script);
    uint8_t buffer[5];
    memset(buffer, '.', sizeof buffer);
    EXPECT_EQ(aStream_Read(s.get(), buffer, 5), aErrNotReady);
    EXPECT_EQ(text(buffer, 5), ".....") << "caller's buffer untouched";
    const int callsBefore = script.getCalls;
    EXPECT_EQ(aStream_Read(s.get(), buffer, 3), aErrNone);
    EXPECT_EQ(text(buffer, 3), "abc");
    EXPECT_EQ(script.getCalls, callsBefore) << "served from the ring";
}

TEST(StreamRead, CompletesWhenTheRestArrives)
{
    Script script;
    script.bytes("abc").then(aErrNotReady).then(aErrNotReady).bytes("de");
    ScriptStream s(script);
    uint8_t buffer[5];
    EXPECT_EQ(aStream_Read(s.get(), buffer, 5), aErrNotReady);
    EXPECT_EQ(aStream_Read(s.get(), buffer, 5), aErrNotReady);
    EXPECT_EQ(aStream_Read(s.get(), buffer, 5), aErrNone);
    EXPECT_EQ(text(buffer, 5), "abcde");
}

TEST(StreamRead, EndAndFailureOfTheSource)
{
    struct Case {
        const char* name;
        aErr stop;
        aErr expected;
        const char* buffer; // caller's buffer afterwards
        const char* rest;   // what a later read still gets
    } cases[] = {
        {"end copies what arrived", aErrEOF, aErrEOF, "ab..", "xy"},
        {"failure drops what was taken", aErrIO, aErrIO, "....", "xy"},
        {"other codes pass through", aErrConnection, aErrConnection, "....", "xy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Script script;
        script.bytes("ab").then(c.stop).bytes("xy");
        ScriptStream s(script);
        uint8_t buffer[4];
        memset(buffer, '.', sizeof buffer);
        EXPECT_EQ(aStream_Read(s.get(), buffer, 4), c.expected);
        EXPECT_EQ(text(buffer, 4), c.buffer);
        EXPECT_EQ(drain(s.get()), c.rest);
    }
}

TEST(StreamRead, RefusesBadArguments)
{
    Script script;
    ScriptStream s(script);
    ScriptStream writeOnly(script, false, true, true);
    uint8_t buffer[2];
    aStream forged;
    memset(&forged, 0, sizeof forged);
    forged.getProc = Script::get;
    forged.procRef = &script;

    EXPECT_EQ(aStream_Read(nullptr, buffer, 1), aErrParam);
    EXPECT_EQ(aStream_Read(s.get(), nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Read(&forged, buffer, 1), aErrParam) << "no marker";
    EXPECT_EQ(aStream_Read(writeOnly.get(), buffer, 1), aErrMode);
    EXPECT_EQ(aStream_Read(s.get(), buffer, 0), aErrNone);
    EXPECT_EQ(script.getCalls, 0);
}

TEST(StreamRing, GrowsBy512AndKeepsOrder)
{
    std::string input;
    for (int i = 0; i < 600; ++i)
        input.push_back(static_cast<char>('A' + i % 26));
    Script script;
    script.bytes(input).then(aErrNotReady);
    ScriptStream s(script);
    std::vector<uint8_t> buffer(601);
    ASSERT_EQ(aStream_Read(s.get(), buffer.data(), 601), aErrNotReady);
    EXPECT_EQ(s.get()->bufferedCount, 600u);
    EXPECT_EQ(s.get()->bufferSize, 1024u);
    const int callsBefore = script.getCalls;
    ASSERT_EQ(aStream_Read(s.get(), buffer.data(), 600), aErrNone);
    EXPECT_EQ(text(buffer.data(), 600), input);
    EXPECT_EQ(script.getCalls, callsBefore);
    EXPECT_EQ(s.get()->bufferedCount, 0u);
}

TEST(StreamRing, StartsAt512)
{
    Script script;
    script.bytes("xyz").then(aErrNotReady);
    ScriptStream s(script);
    EXPECT_EQ(s.get()->buffer, nullptr) << "no ring before a byte is given back";
    uint8_t buffer[4];
    ASSERT_EQ(aStream_Read(s.get(), buffer, 4), aErrNotReady);
    EXPECT_EQ(s.get()->bufferSize, 512u);
    EXPECT_EQ(s.get()->bufferedCount, 3u);
}

// Reads of varying sizes against a source that pauses at varying places: the ring wraps and
// grows many times, and the bytes must come out exactly as they went in.
TEST(StreamRing, WrapsAndGrowsWithoutLosingOrReorderingBytes)
{
    Script script;
    std::string input;
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    for (int chunk = 0; chunk < 200; ++chunk) {
        std::string piece;
        const unsigned length = next() % 700 + 1;
        for (unsigned i = 0; i < length; ++i)
            piece.push_back(static_cast<char>(next() & 0xFF));
        input += piece;
        script.bytes(piece).then(aErrNotReady);
    }
    script.whenEmpty = aErrNotReady;
    ScriptStream s(script);
    std::string output;
    std::vector<uint8_t> buffer(1100);
    for (int attempt = 0; attempt < 100000 && output.size() < input.size(); ++attempt) {
        const size_t left = input.size() - output.size();
        const size_t want = std::min<size_t>(next() % 1100 + 1, left);
        const aErr result = aStream_Read(s.get(), buffer.data(), want);
        if (result == aErrNone)
            output.append(reinterpret_cast<const char*>(buffer.data()), want);
        else
            ASSERT_EQ(result, aErrNotReady);
        ASSERT_LT(s.get()->bufferedCount, std::max<size_t>(s.get()->bufferSize, 1));
    }
    ASSERT_EQ(output.size(), input.size());
    const auto mismatch = std::mismatch(output.begin(), output.end(), input.begin());
    EXPECT_TRUE(mismatch.first == output.end())
        << "first difference at byte " << (mismatch.first - output.begin());
    EXPECT_GT(s.get()->bufferSize, size_t{aSTREAM_RING_STEP}) << "the ring had to grow";
}

TEST(StreamWrite, ChoosesBetweenPutAndWrite)
{
    struct Case {
        const char* name;
        bool put, write;
        size_t length;
        int putCalls;
        size_t writeCalls;
        aErr expected;
    } cases[] = {
        {"one byte, both: put", true, true, 1, 1, 0, aErrNone},
        {"two bytes, both: write", true, true, 2, 0, 1, aErrNone},
        {"many bytes, put only", true, false, 5, 5, 0, aErrNone},
        {"one byte, write only", false, true, 1, 0, 1, aErrNone},
        {"nothing to write", true, true, 0, 0, 0, aErrNone},
        {"neither procedure", false, false, 3, 0, 0, aErrMode},
    };
    const uint8_t data[] = {'h', 'e', 'l', 'l', 'o'};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Script script;
        ScriptStream s(script, true, c.put, c.write);
        EXPECT_EQ(aStream_Write(s.get(), data, c.length), c.expected);
        EXPECT_EQ(script.putCalls, c.putCalls);
        ASSERT_EQ(script.writes.size(), c.writeCalls);
        if (c.writeCalls == 1) {
            EXPECT_EQ(script.writes[0], text(data, c.length));
        }
        if (c.putCalls > 0) {
            EXPECT_EQ(script.putBytes, text(data, c.length));
        }
    }
}

TEST(StreamWrite, StopsAtTheFirstFailedPut)
{
    Script script;
    script.failPutAfter = 2;
    script.putResult = aErrWrite;
    ScriptStream s(script, true, true, false);
    const uint8_t data[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(aStream_Write(s.get(), data, 5), aErrWrite);
    EXPECT_EQ(script.putCalls, 3);
    EXPECT_EQ(script.putBytes.size(), 2u);

    Script blockFails;
    blockFails.writeResult = aErrIO;
    ScriptStream b(blockFails);
    EXPECT_EQ(aStream_Write(b.get(), data, 5), aErrIO);
}

TEST(StreamWrite, RefusesBadArguments)
{
    Script script;
    ScriptStream s(script);
    const uint8_t byte = 1;
    EXPECT_EQ(aStream_Write(nullptr, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Write(s.get(), nullptr, 1), aErrParam);
}

struct RecordCase {
    const char* name;
    std::string input;
    aErr stop; // what the source answers after the input
    std::string separator;
    size_t maxSize;
    aErr expected;
    std::string record;
    std::string rest;
};

TEST(StreamRecord, ReadsUpToTheSeparatorOrTheSizeLimit)
{
    const RecordCase cases[] = {
        {"two-byte separator", "ab\r\ncd", aErrEOF, "\r\n", 16, aErrNone, "ab", "cd"},
        {"size limit without separator", "abcdefg", aErrEOF, "\r\n", 4, aErrNone, "abcd", "efg"},
        {"separator interrupted by a stored byte", "a\rb\n", aErrEOF, "\r\n", 16, aErrNone, "ab", ""},
        {"source ends after stored bytes", "abc", aErrEOF, "\n", 16, aErrNone, "abc", ""},
        {"source ends at once", "", aErrEOF, "\n", 16, aErrEOF, "", ""},
        {"empty record", "\nxy", aErrEOF, "\n", 16, aErrNone, "", "xy"},
        {"separator at the size limit", "abcd\n", aErrEOF, "\n", 4, aErrNone, "abcd", "\n"},
        {"transport failure", "ab", aErrIO, "\n", 16, aErrIO, "", ""},
    };
    for (const RecordCase& c : cases) {
        SCOPED_TRACE(c.name);
        Script script;
        script.bytes(c.input).then(c.stop);
        ScriptStream s(script);
        std::vector<uint8_t> record(c.maxSize + 4, '.');
        size_t length = 999;
        EXPECT_EQ(aStream_ReadRecord(s.get(), record.data(), &length, c.maxSize,
                                     reinterpret_cast<const uint8_t*>(c.separator.data()),
                                     c.separator.size()),
                  c.expected);
        if (c.expected == aErrNone) {
            EXPECT_EQ(text(record.data(), length), c.record);
            EXPECT_EQ(record[c.maxSize], '.') << "nothing stored past maxSize";
        } else {
            EXPECT_EQ(length, 999u) << "length untouched on failure";
        }
        EXPECT_EQ(drain(s.get()), c.rest);
    }
}

TEST(StreamRecord, NotReadyMidSeparatorLosesNothing)
{
    Script script;
    script.bytes("ab\r").then(aErrNotReady).bytes("\ncd");
    ScriptStream s(script);
    const uint8_t separator[] = {'\r', '\n'};
    uint8_t record[16];
    size_t length = 0;
    EXPECT_EQ(aStream_ReadRecord(s.get(), record, &length, sizeof record, separator, 2), aErrNotReady);
    EXPECT_EQ(s.get()->bufferedCount, 3u) << "the separator byte is kept too";
    ASSERT_EQ(aStream_ReadRecord(s.get(), record, &length, sizeof record, separator, 2), aErrNone);
    EXPECT_EQ(text(record, length), "ab");
    EXPECT_EQ(drain(s.get()), "cd");
}

TEST(StreamRecord, RefusesBadArguments)
{
    Script script;
    script.bytes("abc");
    ScriptStream s(script);
    ScriptStream writeOnly(script, false, true, true);
    uint8_t record[8];
    const uint8_t separator = '\n';
    size_t length = 0;
    EXPECT_EQ(aStream_ReadRecord(nullptr, record, &length, 8, &separator, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(s.get(), nullptr, &length, 8, &separator, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(s.get(), record, &length, 8, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(s.get(), record, &length, 8, &separator, 0), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(s.get(), record, &length, 0, &separator, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(writeOnly.get(), record, &length, 8, &separator, 1), aErrMode);
    EXPECT_EQ(aStream_ReadRecord(s.get(), record, nullptr, 8, &separator, 1), aErrNone)
        << "length is optional";
    EXPECT_EQ(script.getCalls, 4);
}

TEST(StreamRecord, WriteAppendsTheSeparator)
{
    Script script;
    ScriptStream s(script, true, true, false);
    const uint8_t record[] = {'a', 'b'};
    const uint8_t separator[] = {'\r', '\n'};
    EXPECT_EQ(aStream_WriteRecord(s.get(), record, 2, separator, 2), aErrNone);
    EXPECT_EQ(aStream_WriteRecord(s.get(), record, 0, separator, 2), aErrNone);
    EXPECT_EQ(script.putBytes, "ab\r\n\r\n");
    EXPECT_EQ(aStream_WriteRecord(s.get(), nullptr, 2, separator, 2), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(s.get(), record, 2, nullptr, 2), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(s.get(), record, 2, separator, 0), aErrParam);
    EXPECT_EQ(script.putBytes, "ab\r\n\r\n");
}

TEST(StreamCString, ReadsZeroTerminatedTextWithinTheBuffer)
{
    struct Case {
        const char* name;
        std::string input;
        size_t size;
        aErr expected;
        const char* textRead;
        std::string rest;
    } cases[] = {
        {"whole text", std::string("hello\0world", 11), 16, aErrNone, "hello", "world"},
        {"cut to size - 1", std::string("abcdef\0", 7), 4, aErrNone, "abc", std::string("def\0", 4)},
        {"empty text", std::string("\0x", 2), 4, aErrNone, "", "x"},
        {"text ends with the source", "abc", 8, aErrNone, "abc", ""},
        {"one-byte buffer cannot hold text", "abc", 1, aErrParam, "", "abc"},
        {"no buffer size", "abc", 0, aErrParam, "", "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Script script;
        script.bytes(c.input);
        ScriptStream s(script);
        char buffer[16];
        memset(buffer, '.', sizeof buffer);
        EXPECT_EQ(aStream_ReadCString(s.get(), buffer, c.size), c.expected);
        if (c.expected == aErrNone) {
            EXPECT_STREQ(buffer, c.textRead);
        }
        EXPECT_EQ(drain(s.get()), c.rest);
    }
}

TEST(StreamCString, RecordsUseTheSeparatorText)
{
    Script script;
    script.bytes("key=value\r\nnext\r\n");
    ScriptStream s(script);
    char buffer[32];
    ASSERT_EQ(aStream_ReadCStringRecord(s.get(), buffer, sizeof buffer, "\r\n"), aErrNone);
    EXPECT_STREQ(buffer, "key=value");
    ASSERT_EQ(aStream_ReadCStringRecord(s.get(), buffer, sizeof buffer, "\r\n"), aErrNone);
    EXPECT_STREQ(buffer, "next");
    EXPECT_EQ(aStream_ReadCStringRecord(s.get(), buffer, sizeof buffer, "\r\n"), aErrEOF);
    EXPECT_EQ(aStream_ReadCStringRecord(s.get(), buffer, sizeof buffer, ""), aErrParam);
    EXPECT_EQ(aStream_ReadCStringRecord(s.get(), buffer, sizeof buffer, nullptr), aErrParam);
}

TEST(StreamCString, WritesCarryTheirTerminatingZero)
{
    Script script;
    ScriptStream s(script, true, true, false);
    EXPECT_EQ(aStream_WriteCString(s.get(), "hi"), aErrNone);
    EXPECT_EQ(aStream_WriteCString(s.get(), ""), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(s.get(), "abc", "\r\n"), aErrNone);
    EXPECT_EQ(script.putBytes, std::string("hi\0\0abc\r\n\0", 10));
    EXPECT_EQ(aStream_WriteCString(s.get(), nullptr), aErrParam);
    EXPECT_EQ(aStream_WriteCStringRecord(s.get(), nullptr, "\n"), aErrParam);
    EXPECT_EQ(aStream_WriteCStringRecord(s.get(), "x", nullptr), aErrParam);
}

TEST(StreamFlush, CopiesUntilTheSourceStops)
{
    struct Case {
        const char* name;
        aErr stop;
        int failPutAfter;
        aErr expected;
        std::string copied;
    } cases[] = {
        {"end of source", aErrEOF, -1, aErrNone, "abc"},
        {"source failure", aErrIO, -1, aErrIO, "abc"},
        {"source not ready", aErrNotReady, -1, aErrNotReady, "abc"},
        {"put failure", aErrEOF, 1, aErrWrite, "a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Script source;
        source.bytes("abc").then(c.stop);
        Script sink;
        sink.failPutAfter = c.failPutAfter;
        sink.putResult = aErrWrite;
        ScriptStream from(source);
        ScriptStream to(sink, false, true, false);
        EXPECT_EQ(aStream_Flush(from.get(), to.get()), c.expected);
        EXPECT_EQ(sink.putBytes, c.copied);
    }
}

TEST(StreamFlush, IgnoresTheRingAndChecksModes)
{
    Script source;
    source.bytes("ab").then(aErrNotReady).bytes("cd");
    Script sink;
    ScriptStream from(source);
    ScriptStream to(sink, false, true, false);
    uint8_t buffer[3];
    ASSERT_EQ(aStream_Read(from.get(), buffer, 3), aErrNotReady); // "ab" now in the ring
    EXPECT_EQ(aStream_Flush(from.get(), to.get()), aErrNone);
    EXPECT_EQ(sink.putBytes, "cd");

    ScriptStream cannotRead(source, false, true, true);
    ScriptStream cannotWrite(sink, true, false, false);
    EXPECT_EQ(aStream_Flush(cannotRead.get(), to.get()), aErrMode);
    EXPECT_EQ(aStream_Flush(from.get(), cannotWrite.get()), aErrMode);
    EXPECT_EQ(aStream_Flush(nullptr, to.get()), aErrParam);
    EXPECT_EQ(aStream_Flush(from.get(), nullptr), aErrParam);
}

TEST(StreamDestroy, CallsDeleteOnceAndClearsTheHandle)
{
    const aErr deleteResults[] = {aErrNone, aErrIO};
    for (aErr deleteResult : deleteResults) {
        Script script;
        script.deleteResult = deleteResult;
        script.bytes("a").then(aErrNotReady);
        aStream* stream = aStream_Create(Script::get, nullptr, nullptr, Script::destroy, &script);
        ASSERT_NE(stream, nullptr);
        uint8_t buffer[2];
        ASSERT_EQ(aStream_Read(stream, buffer, 2), aErrNotReady); // ring allocated
        EXPECT_EQ(aStream_Destroy(&stream), deleteResult);
        EXPECT_EQ(stream, nullptr);
        EXPECT_EQ(script.deleteCalls, 1);
        EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
        EXPECT_EQ(script.deleteCalls, 1);
    }
    aStream* bare = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(aStream_Destroy(&bare), aErrNone);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
}

TEST(StreamFile, WrittenBytesReadBackInOrder)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("bytes.bin");
    std::string expected;
    for (int i = 0; i < 3000; ++i)
        expected.push_back(static_cast<char>(i * 31));

    aStream* out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    ASSERT_NE(out, nullptr);
    const auto* data = reinterpret_cast<const uint8_t*>(expected.data());
    EXPECT_EQ(aStream_Write(out, data, 1), aErrNone);             // put
    EXPECT_EQ(aStream_Write(out, data + 1, 1999), aErrNone);      // block write
    EXPECT_EQ(aStream_Write(out, data + 2000, 1000), aErrNone);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(out, &byte, 1), aErrMode) << "output streams cannot be read";
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);

    aStream* in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    EXPECT_EQ(aStream_Write(in, data, 2), aErrMode) << "input streams cannot be written";
    std::vector<uint8_t> back(expected.size());
    ASSERT_EQ(aStream_Read(in, back.data(), back.size()), aErrNone);
    EXPECT_EQ(text(back.data(), back.size()), expected);
    EXPECT_EQ(aStream_Read(in, &byte, 1), aErrEOF);
    EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST(StreamFile, FailuresLeaveTheVariableAlone)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    aStream* const marker = reinterpret_cast<aStream*>(0x1);
    const struct {
        const char* name;
        bool output;
        std::string path;
        bool nullPath;
    } cases[] = {
        {"missing input file", false, dir.file("missing"), false},
        {"output into a missing directory", true, dir.file("no/such/file"), false},
        {"null input path", false, "", true},
        {"null output path", true, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        aStream* stream = marker;
        const char* path = c.nullPath ? nullptr : c.path.c_str();
        const aErr result = c.output ? aStream_CreateFileOutput(path, &stream)
                                     : aStream_CreateFileInput(path, &stream);
        EXPECT_EQ(result, aErrResource);
        EXPECT_EQ(stream, marker);
    }
    EXPECT_EQ(aStream_CreateFileOutput(dir.file("x").c_str(), nullptr), aErrResource);
    EXPECT_EQ(aStream_CreateFileInput(dir.file("x").c_str(), nullptr), aErrResource);
}

} // namespace
