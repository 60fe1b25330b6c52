// What the program settles before and right after its window exists: the
// window system, the language, logging and the cards named on the command
// line.
#pragma once

#include <QLocale>
#include <QStringList>

class QApplication;

// On a Wayland session the window runs through XWayland where it can: SDL
// draws the panes into native windows of the window's own, which Wayland
// does not let it do. A platform the user chose (QT_QPA_PLATFORM) stays.
// Call before the application object is made.
void chooseWindowSystem();

// Chinese unless the first of the languages (the system's by default) is
// English; with Chinese, Qt's own Chinese texts (dialogs, standard buttons)
// and a Chinese calendar. Windows made afterwards speak the language chosen
// by the last call.
void setUpLanguage(QApplication &application, const QStringList &languages = QLocale::system().uiLanguages());

// Debug lines only when asked for: with verbose, or by Qt's logging rules
// (QT_LOGGING_RULES), which come before these.
void setUpLogging(bool verbose);

// Attaches each path; for each one that cannot be attached, a message for
// the window (its line on standard error is printed as well).
QStringList attachCards(const QStringList &paths);
