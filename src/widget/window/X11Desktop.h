#pragma once

// What a desktop widget asks of an X11 window manager that Qt's window
// flags do not say: to be on every workspace (sticky) and out of the
// taskbar and the pager, whatever type the manager takes the window for.

class QWidget;

namespace telvane::widget {

// Call before `window` is first shown: the hints are read when it is
// mapped. Does nothing on other platforms than X11.
void keepOnEveryWorkspace(QWidget& window);

}  // namespace telvane::widget
