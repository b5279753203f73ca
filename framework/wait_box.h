// A wait that the user can cancel: a small modal box with a text and a Cancel button while
// something runs elsewhere (on another thread), so that the caller's windows stay alive.
//
// Windows: a modal dialog box owned by the thread's modal dialog, which checks isDone ten
// times a second. Elsewhere: the text on the terminal with the hint that Enter cancels; the
// terminal and isDone are checked ten times a second.
#pragma once

#include <functional>
#include <string>

namespace fw {

// Shows `text` (Windows-1252) until isDone() is true or the user cancels; isDone is called on
// the calling thread. True when isDone became true (at once when it is true already: nothing is
// shown), false when the user cancelled or nobody can be asked (no terminal).
bool WaitBox(const std::string& text, const std::function<bool()>& isDone);

}  // namespace fw
