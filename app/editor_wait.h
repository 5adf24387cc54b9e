#pragma once

// The wait for the editor at start-up. TOpenDesign blocks until the editor answers; a KiCad that
// is busy, loading a large board or stopped may take long. The call runs beside the window, and
// once it has taken a second a small window says what Bitlay waits for, with Cancel.

#include <QString>
#include <chrono>

#include "dbx/design_opening.h"
#include "dbx/records.h"

namespace bitlay::app {

// How long a start-up waits for the editor before it says so.
constexpr std::chrono::milliseconds kShowWaitAfter{1000};

// The status a start-up ends with when the user stops waiting: the editor did not answer, as the
// stand-in library itself reports a KiCad that does not answer in time ("No Connection").
constexpr dbx::DbxStatusCode kNoAnswerStatus = 32105;

// The wait window's text and its X11 role, by which the desktop (and a test driving it) tells it
// from the start-up message box, which carries the same title.
QString waitForEditorText();
constexpr const char* kWaitWindowRole = "bitlay-wait";

// Waits for the opening to return: true once it has, false when the user pressed Cancel (or
// closed the wait window, or pressed Esc) first. The window shows only after kShowWaitAfter,
// in front of every other window, as the start-up message box does.
bool waitForEditor(dbx::DesignOpening& opening);

}  // namespace bitlay::app
