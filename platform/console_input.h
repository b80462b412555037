// The console's line input, one design for both sides (not part of the platform interface):
// the reading ahead and its bounded queue are console_input.cpp's; each side gives the
// primitives below (posix/console.cpp, win32/console_read.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat::input {

// What the read-ahead holds at most: the lines' bytes with one byte each to end them, in one
// block allocated once. One line being read and the C stream's buffer come on top.
constexpr std::size_t kAheadBytes = 64 * 1024;

// ---- Each side's primitives ----------------------------------------------------------------

// True when standard input is the terminal (Linux) or the console (Windows) that keys are read
// from: there, lines are read in their turn and never ahead, so that a key read gets every key
// typed after it and none is echoed by a pending line read.
bool InputIsTerminal();
// One line of standard input, as one fgets of size bytes reads it (at most size - 1 bytes,
// through the first line end), on the calling thread; a line typed on a console comes back as
// GBK. False at the end of input or on an error.
bool ReadOneLine(std::string* line, int size);
// ReadOneLine in the caller's turn. Windows: on a thread of its own while the main thread waits
// dispatching; false when a console end event (Ctrl+C and the like) came first.
bool ReadLineInTurn(std::string* line, int size);
// True once a console end event came (Windows); never on Linux, where those are signals.
bool EndRequested();

// A flag that the reader raises and the main thread waits for. The wait dispatches window
// messages on Windows, and answers false when a console end event came first.
struct Signal;
Signal* NewSignal();  // null when none can be made
void FreeSignal(Signal* signal);
void Raise(Signal* signal);
bool WaitRaised(Signal* signal);  // lowers it again before it returns

// ---- The shared reader (console_input.cpp) -------------------------------------------------

// The next line for ConsoleReadLine: read ahead on a thread of its own when standard input is no
// terminal (and a thread can be made), else read now. False at the end of input.
bool NextLine(std::string* line, int size);

}  // namespace plat::input
