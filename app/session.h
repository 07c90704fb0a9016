#ifndef SESSION_H
#define SESSION_H

// Runs the login gate and, once it is passed, the main window until the event
// loop ends. Returns the event loop's exit code, or 0 when the login is refused.
// Needs a QApplication.
int runSession();

#endif
