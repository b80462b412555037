// NotifySystem answers, the service table's notifications and library registration.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/context.h"
#include "runtime/errors.h"
#include "runtime/directory_search.h"
#include "runtime/registry.h"
#include "runtime/service_table.h"

namespace {

using namespace rt;

TEST(NotifySystem, UnknownCodesAnswerZero) {
    EXPECT_EQ(NotifySystem(1999, 1, 2), 0);
    EXPECT_EQ(NotifySystem(2002, 0, 0), 0);
    EXPECT_EQ(NotifySystem(1005, 0, 0), 0x00030005);
    EXPECT_EQ(NotifySystem(1004, 0, 0), 1);
}

TEST(NotifySystem, InterfaceIdOfIUnknown) {
    unsigned char id[16];
    std::memset(id, 0xAA, sizeof id);
    EXPECT_EQ(NotifySystem(kSysInterfaceId, 0x00010030, reinterpret_cast<std::uintptr_t>(id)), 1);
    const unsigned char expected[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
    EXPECT_EQ(std::memcmp(id, expected, 16), 0);
    EXPECT_EQ(NotifySystem(kSysInterfaceId, kTagText, reinterpret_cast<std::uintptr_t>(id)), 0);
}

TEST(NotifySystem, PathIntoWritesTheSelectedPath) {
    RuntimeContext& ctx = Context();
    TextValue savedDirectory = ctx.programDirectory, savedName = ctx.programFileName;
    char directory[] = "C:\\a\\b", name[] = "webmon.exe";
    ctx.programDirectory = directory;
    ctx.programFileName = name;
    const struct {
        std::uintptr_t selector;
        const char* path;
    } rows[] = {{kPathRunDirectory, "C:\\a\\b\\"},
                {kPathProgramDirectory, "C:\\a\\b\\"},
                {kPathProgramFileName, "webmon.exe"},
                {7, ""}};  // an unknown selector
    for (const auto& row : rows) {
        char buffer[32] = "garbage";
        NotifySystem(kSysPathInto, row.selector, reinterpret_cast<std::uintptr_t>(buffer));
        EXPECT_STREQ(buffer, row.path) << row.selector;
    }
    // The buffer's size is the path buffer's: a path that fills it is written whole, a longer
    // one as the empty text, and nothing lands past the buffer.
    const struct {
        std::size_t length;  // of the directory; the path adds its closing separator
        bool fits;
    } lengths[] = {
        {kPathIntoBufferSize - 2, true}, {kPathIntoBufferSize - 1, false}, {4000, false}};
    for (const auto& row : lengths) {
        std::string longDirectory(row.length, 'd');
        ctx.programDirectory = longDirectory.data();
        char buffer[kPathIntoBufferSize + 1];
        std::memset(buffer, 'x', sizeof buffer);
        NotifySystem(kSysPathInto, kPathRunDirectory, reinterpret_cast<std::uintptr_t>(buffer));
        EXPECT_STREQ(buffer, row.fits ? (longDirectory + "\\").c_str() : "") << row.length;
        EXPECT_EQ(buffer[kPathIntoBufferSize], 'x') << row.length;
    }
    ctx.programDirectory = savedDirectory;
    ctx.programFileName = savedName;
}

TEST(NotifySystem, EventCounterNeverGoesBelowZero) {
    RuntimeContext& ctx = Context();
    const std::int32_t before = ctx.eventSuppression.load();
    NotifySystem(kSysSuppressEvents, 0, 0);
    EXPECT_EQ(ctx.eventSuppression.load(), before + 1);
    NotifySystem(kSysAllowEvents, 0, 0);
    ctx.eventSuppression.store(0);
    NotifySystem(kSysAllowEvents, 0, 0);
    EXPECT_EQ(ctx.eventSuppression.load(), 0);
    ctx.eventSuppression.store(before);
}

TEST(NotifySystem, NumbersToInt32) {
    ArgInfo byte = MakeArg(kTagByte, 0xFFFFFF80u);
    EXPECT_EQ(NotifySystem(kSysToInteger, reinterpret_cast<std::uintptr_t>(&byte), 0), 128);
    ArgInfo shortValue = MakeArg(kTagShort, 0xFFFFu);
    EXPECT_EQ(NotifySystem(kSysToInteger, reinterpret_cast<std::uintptr_t>(&shortValue), 0), -1);
    ArgInfo longValue = LongArg(0x100000005LL);
    EXPECT_EQ(NotifySystem(kSysToInteger, reinterpret_cast<std::uintptr_t>(&longValue), 0), 5);
    ArgInfo d = DoubleArg(-2.9);
    EXPECT_EQ(NotifySystem(kSysToInteger, reinterpret_cast<std::uintptr_t>(&d), 0), -2);
}

TEST(NotifySystem, QuietAllocationAndFree) {
    void* block = reinterpret_cast<void*>(NotifySystem(kSysAlloc, 16, 1));
    ASSERT_NE(block, nullptr);
    block = reinterpret_cast<void*>(
        NotifySystem(kSysRealloc, reinterpret_cast<std::uintptr_t>(block), 64));
    EXPECT_EQ(NotifySystem(kSysFree, reinterpret_cast<std::uintptr_t>(block), 0), 0);
    EXPECT_EQ(NotifySystem(kSysAlloc, 0x80000000u, 1), 0) << "quiet: null comes back";
}

TEST(SvcNotify, CleanupRegistrationIgnoresDuplicates) {
    RuntimeContext& ctx = Context();
    auto saved = ctx.cleanupList;
    ctx.cleanupList.clear();
    Routine a = [] {};
    SvcNotify(kNotifyCleanup, reinterpret_cast<std::uintptr_t>(a));
    SvcNotify(kNotifyCleanup, reinterpret_cast<std::uintptr_t>(a));
    EXPECT_EQ(ctx.cleanupList.size(), 1u);
    ctx.cleanupList = saved;
}

TEST(SvcNotify, FindEntryWithNothingToContinueTouchesNoFiles) {
    plat::FindHandle search = nullptr;
    EXPECT_EQ(FindEntry("", 0, 0, &search), nullptr);
    EXPECT_EQ(FindEntry(nullptr, 0x37, 1, &search), nullptr);
    EXPECT_EQ(search, nullptr);
}

TEST(SvcNotify, PrivateCopyOnlyForArraysInThePool) {
    struct Block {
        std::int32_t dims = 1, size = 3;
        std::int32_t elements[3] = {7, 8, 9};
    };
    static const Block kConstant{};
    void* array = const_cast<Block*>(&kConstant);
    SvcNotify(kNotifyPrivateArray, 4, reinterpret_cast<std::uintptr_t>(&array));
    EXPECT_EQ(array, &kConstant) << "no pool range set: left alone";
    RuntimeContext& ctx = Context();
    ctx.poolEnd.store(reinterpret_cast<const unsigned char*>(&kConstant) + sizeof kConstant);
    ctx.poolStart.store(reinterpret_cast<const unsigned char*>(&kConstant));
    SvcNotify(kNotifyPrivateArray, 4, reinterpret_cast<std::uintptr_t>(&array));
    ctx.poolStart.store(nullptr);
    ctx.poolEnd.store(nullptr);
    ASSERT_NE(array, &kConstant);
    EXPECT_EQ(std::memcmp(array, &kConstant, sizeof kConstant), 0);
    SvcFree(array);
}

TEST(LookupDataType, OnlyATagNamingARegisteredLibrarysTypeFindsItsRecord) {
    static const unsigned char kRecords[2 * kDataTypeRecordSize] = {};
    LibraryDescriptor withTypes{};
    withTypes.dataTypeCount = 2;
    withTypes.dataTypes = kRecords;
    RuntimeContext& ctx = Context();
    const std::vector<const LibraryDescriptor*> saved = ctx.libraries;
    ctx.libraries = {&withTypes};
    EXPECT_EQ(LookupDataType(0x00010001), kRecords);
    EXPECT_EQ(LookupDataType(0x00010002), kRecords + kDataTypeRecordSize);
    EXPECT_EQ(LookupDataType(0x00010003), nullptr) << "past the library's types";
    EXPECT_EQ(LookupDataType(0x00010000), nullptr) << "type 0";
    EXPECT_EQ(LookupDataType(0x00000001), nullptr) << "library 0";
    EXPECT_EQ(LookupDataType(0x00020001), nullptr) << "past the list of libraries";
    EXPECT_EQ(LookupDataType(0xC0010001u), nullptr) << "top bits 11: a library far past the list";
    EXPECT_EQ(LookupDataType(kTagInt), nullptr) << "a system type";
    EXPECT_EQ(LookupDataType(0), nullptr);
    ctx.libraries = saved;
}

TEST(FindEntry, FilesOnlyAndAttributeMasks) {
    // The test's own executable directory always holds at least one file.
    std::string dir, file;
    SplitExecutablePath(plat::ExecutablePath().c_str(), &dir, &file);
    plat::FindHandle search = nullptr;
    TextValue name = FindEntry((dir + "\\*").c_str(), 0, 1, &search);
    ASSERT_NE(name, nullptr);
    bool sawSelf = false;
    while (name) {
        sawSelf = sawSelf || file == name;
        SvcFree(name);
        name = FindEntry("", 0, 1, &search);
    }
    EXPECT_TRUE(sawSelf);
    EXPECT_EQ(search, nullptr) << "the finished search is closed";
    name = FindEntry((dir + "\\*").c_str(), 0x10, 0, &search);  // directories: "." at least
    ASSERT_NE(name, nullptr);
    SvcFree(name);
    SvcNotify(kNotifyFindClose, reinterpret_cast<std::uintptr_t>(search));
}

TEST(DllCommand, ExportNamesAndOrdinalsAreResolvedOnce) {
    RuntimeContext& ctx = Context();
#ifdef _WIN32
    const char* library = "Kernel32.dll";
    const char* exportName = "GetTickCount";
#else
    const char* library = "";
    const char* exportName = "strlen";
#endif
    ctx.dllLibraryNames = {library};
    ctx.dllExportNames = {exportName};
    ctx.dllAddresses = {nullptr};
    ctx.dllModules = {nullptr};
    void* first = SvcCallDllCommand(0);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(SvcCallDllCommand(0), first);
    EXPECT_EQ(ctx.dllAddresses[0], first);
    if (ctx.dllModules[0]) plat::FreeLibrary(ctx.dllModules[0]);
    ctx.dllLibraryNames.clear();
    ctx.dllExportNames.clear();
    ctx.dllAddresses.clear();
    ctx.dllModules.clear();
}

}  // namespace
