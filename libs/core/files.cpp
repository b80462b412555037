// GetRunDirectory and ReadFileBytes.
#include "libs/core/core_library.h"
#include "platform/platform.h"
#include "runtime/memory.h"

namespace core {

using namespace rt;

void GetRunDirectory(ArgInfo* result, std::int32_t, ArgInfo*) {
    const char* directory = reinterpret_cast<const char*>(System()(kSysProgramDirectory, 0, 0));
    SetArgPtr(*result, CopyText(directory, AllocValue));
}

void ReadFileBytes(ArgInfo* result, std::int32_t, ArgInfo* args) {
    ByteBuffer content(Pool());
    const char* path = ArgPtr<const char>(args[0]);
    if (path && path[0] != '\0') {
        if (plat::FileHandle file = plat::OpenFileForReading(path)) {
            std::int32_t length = 0;
            // A list that memory cannot hold is no empty list: that ends webmon as any failed
            // allocation does, rather than have it watch nothing and say the file is empty.
            if (plat::FileLength(file, &length) && length > 0 && !content.Allocate(length)) {
                plat::CloseFile(file);
                ReportAllocFailure(static_cast<std::int64_t>(length) + ByteBuffer::kHeapSpare);
            }
            if (length > 0 && content.data()) {
                std::uint32_t got = 0;
                if (!plat::ReadFile(file, content.data(), static_cast<std::uint32_t>(length),
                                    &got)) {
                    content.Free();
                } else if (got < static_cast<std::uint32_t>(length)) {
                    content.Resize(static_cast<std::int32_t>(got));  // the file shrank
                }
            }
            plat::CloseFile(file);
        }
    }
    SetArgPtr(*result, NewBin(content.data(), content.size(), AllocValue));
}

}  // namespace core
