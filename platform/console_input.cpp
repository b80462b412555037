// The console's line input on both sides: lines read ahead within a bound, and the end of input.
//
// Invariants:
//  1. Standard input that is no terminal is read ahead by a thread of its own, which only reads:
//     one thread for the whole input, where the main thread must not block in a read itself
//     (Windows dispatches window messages while it waits for a line). The queue holds at most kAheadBytes of lines (one block, allocated once), or one longer
//     line; when it is full the reader stops reading, and the input's writer then waits as it
//     would for any program that reads no more: the memory stays bounded whatever the input
//     and the output do.
//  2. A terminal's lines are read in their turn, never ahead: a key read without echo then gets
//     every key typed after it, and no pending line read takes or echoes them.
//  3. At the end of input every line read before it is still handed out; the main thread then
//     ends webmon as always. Nothing here ends the process: a main thread held in a write waits
//     for the output's reader, as any program does.
//  4. Only the main thread calls ConsoleReadLine.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/console_input.h"
#include "platform/platform.h"

namespace plat {
namespace input {
namespace {

struct Reader {
    int size = 0;
    Signal* news = nullptr;  // raised for each line queued and at the end
    std::mutex lock;
    std::condition_variable changed;  // the main thread took a line
    // The lines read ahead, each ended by a zero byte (a line read holds none), from head on.
    std::string queued;
    std::size_t head = 0;
    bool ended = false;  // the reader met the end of input

    std::size_t Held() const { return queued.size() - head; }
};

std::uint32_t ReadAhead(std::uintptr_t parameter) {
    Reader& reader = *reinterpret_cast<Reader*>(parameter);
    std::string line;
    for (;;) {
        const bool got = ReadOneLine(&line, reader.size);
        std::unique_lock<std::mutex> hold(reader.lock);
        if (!got) {
            reader.ended = true;
            Raise(reader.news);
            return 0;
        }
        // A full queue: wait for room (invariant 1). One line always fits.
        reader.changed.wait(hold, [&] {
            return reader.Held() == 0 || reader.Held() + line.size() + 1 <= kAheadBytes;
        });
        // What was taken goes once the block's end is reached, so the block never grows.
        if (reader.Held() == 0) {
            reader.queued.clear();
            reader.head = 0;
        } else if (reader.queued.size() + line.size() + 1 > reader.queued.capacity()) {
            reader.queued.erase(0, reader.head);
            reader.head = 0;
        }
        reader.queued.append(line);
        reader.queued.push_back('\0');
        Raise(reader.news);
    }
}

// The reader, started by the first line asked for; null for a terminal, or when no thread or
// signal can be made (lines are then read in their turn).
Reader* StartReader(int size) {
    if (InputIsTerminal()) return nullptr;
    Signal* news = NewSignal();
    if (!news) return nullptr;
    auto* reader = new Reader();  // never freed: the reader may outlive main's return
    reader->size = size;
    reader->queued.reserve(kAheadBytes + static_cast<std::size_t>(size));
    reader->news = news;
    ThreadHandle thread = CreateThread(ReadAhead, reinterpret_cast<std::uintptr_t>(reader));
    if (!thread) {
        FreeSignal(news);
        delete reader;
        return nullptr;
    }
    CloseThreadHandle(thread);
    return reader;
}
}  // namespace

bool NextLine(std::string* line, int size) {
    static Reader* const reader = StartReader(size);
    if (EndRequested()) return false;
    if (!reader) return ReadLineInTurn(line, size);
    std::unique_lock<std::mutex> hold(reader->lock);
    for (;;) {
        if (reader->Held() > 0) {
            const std::size_t end = reader->queued.find('\0', reader->head);
            line->assign(reader->queued, reader->head, end - reader->head);
            reader->head = end + 1;
            reader->changed.notify_all();
            return true;
        }
        if (reader->ended) return false;
        hold.unlock();
        if (!WaitRaised(reader->news)) return false;  // a console end event
        hold.lock();
    }
}

}  // namespace input

namespace {
// The rest of a line that did not fit the caller's buffer: the next call hands it out first, as
// the C stream's buffer would (main thread only).
std::string g_rest;
bool g_restLeft = false;
}  // namespace

bool ConsoleReadLine(char* buffer, int size) {
    if (size <= 0) return false;
    if (!g_restLeft) {
        if (!input::NextLine(&g_rest, size)) return false;
        g_restLeft = true;
    }
    // As fgets: through the line end, at most size - 1 bytes, the rest for the next call.
    const std::size_t end = g_rest.find('\n');
    const std::size_t take = std::min(end == std::string::npos ? g_rest.size() : end + 1,
                                      static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, g_rest.data(), take);
    buffer[take] = '\0';
    g_rest.erase(0, take);
    g_restLeft = !g_rest.empty();
    return true;
}

}  // namespace plat
