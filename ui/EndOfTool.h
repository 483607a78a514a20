#pragma once
// The end of the tool: closing the Connection window or the Main window ends the process at once, also
// in the middle of a long operation, and no procedure of any window runs afterwards.

#include <functional>

namespace quarvel::ui {

// Flushes the C streams and leaves the process with exit code 0 without unwinding: no destructor,
// event handler or pending procedure runs. Every setting was stored when it changed, so nothing is
// lost. In-process tests replace this with setEndOfToolAction.
void endTool();

// Replaces what endTool does and returns the previous action; an empty action restores the real end.
std::function<void()> setEndOfToolAction(std::function<void()> action);

} // namespace quarvel::ui
