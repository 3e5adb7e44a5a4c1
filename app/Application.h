// The application object: the title, and the default error report that every exception
// escaping an event handler ends up in.
#pragma once

#include <QApplication>
#include <QString>

#include <exception>
#include <functional>
#include <string>

// The title of an executable: its file name without the folder, up to the first ".", every
// character after the first in lower case ("/opt/VarDex.bin" gives "Vardex").
QString ApplicationTitleOf(const QString& AExecutablePath);

// The message of the error report: the text with a full stop added when its last
// character sorts after ".".
QString ErrorReportText(const std::string& AMessage);

class TApplication : public QApplication {
public:
    TApplication(int& AArgc, char** AArgv);

    // Exceptions escaping any event handler go to the error report; the program goes on.
    bool notify(QObject* AReceiver, QEvent* AEvent) override;

    // The title of the running executable.
    static QString Title();

    // Reports the exception being handled (call from a catch block).
    static void HandleException();
    // Shows the error report for AMessage: a message box with an error icon and one OK
    // button, the title as caption. A report whose text is already on screen is not opened
    // a second time, so an error that repeats every second cannot pile up boxes.
    static void ShowErrorReport(const std::string& AMessage);

    // Replaces the message box (tests): called with the caption and the message instead.
    static void SetErrorReportHook(std::function<void(const QString& ACaption, const QString& AText)> AHook);
};

// Runs AHandler; what escapes it goes to the error report.
template <class THandler> void Guarded(THandler&& AHandler)
{
    try {
        AHandler();
    } catch (...) {
        TApplication::HandleException();
    }
}
