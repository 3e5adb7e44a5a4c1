// What the window tests share: a working folder of their own with a default.cfg, the error
// report and the save dialog hooked so that nothing blocks, and a clock the test moves.
#pragma once

#include "app/Application.h"
#include "app/Main.h"

#include <QDir>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

struct TReport {
    QString Caption;
    QString Text;
};

class TWindowFixture {
public:
    // AConfig: the default.cfg to start with; nullptr for none.
    explicit TWindowFixture(const char* AConfig)
    {
        FOldDir = QDir::currentPath();
        QDir::setCurrent(FDir.path());
        if (AConfig)
            WriteFile("default.cfg", AConfig);
        TApplication::SetErrorReportHook([this](const QString& ACaption, const QString& AText) {
            Reports.push_back({ ACaption, AText });
        });
        SetNowClock([this] { return Clock; });
        Window = std::make_unique<TfmMain>();
        // Ticks are driven by the tests; the timer's own path has a test of its own.
        Window->tmrCheck->stop();
        Window->SaveDialogHook = [this](std::string& AFileName) {
            ++Dialogs;
            if (NextFileName.empty())
                return false;
            AFileName = NextFileName;
            return true;
        };
        Window->TrayAnimatedHook = [this](bool AAnimated) { Animations.push_back(AAnimated); };
    }

    ~TWindowFixture()
    {
        Window.reset();
        SetNowClock({});
        TApplication::SetErrorReportHook({});
        QDir::setCurrent(FOldDir);
    }

    std::string Path(const std::string& AName) const { return (FDir.path() + "/").toStdString() + AName; }

    void WriteFile(const std::string& AName, const std::string& AText) const
    {
        std::ofstream File(Path(AName), std::ios::binary | std::ios::trunc);
        File << AText;
    }

    std::string ReadFile(const std::string& AName) const
    {
        std::ifstream File(Path(AName), std::ios::binary);
        std::stringstream Text;
        Text << File.rdbuf();
        return Text.str();
    }

    bool ShowActive()
    {
        Window->show();
        Window->activateWindow();
        return QTest::qWaitForWindowActive(Window.get());
    }

    QTreeWidget* List() const { return Window->ServList; }
    QStringList Captions() const
    {
        QStringList Names;
        for (int I = 0; I < List()->topLevelItemCount(); ++I)
            Names << List()->topLevelItem(I)->text(0);
        return Names;
    }
    QRect RowRect(int ARow, int AColumn = 0) const
    {
        return List()
            ->visualItemRect(List()->topLevelItem(ARow))
            .intersected(List()->visualRect(List()->model()->index(ARow, AColumn)));
    }
    void ClickRow(int ARow, int AColumn = 0) const
    {
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, RowRect(ARow, AColumn).center());
    }

    QTemporaryDir FDir;
    QString FOldDir;
    TDateTime Clock = 45000.5;
    std::unique_ptr<TfmMain> Window;
    std::vector<TReport> Reports;
    std::vector<bool> Animations;
    int Dialogs = 0;
    std::string NextFileName;
};
