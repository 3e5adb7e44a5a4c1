// The tray as tests see it: the tray icon's colours, an icon's colour read back, and a
// notification area that records every call the tray icon makes, kept beyond the icon's life.
#pragma once

#include "tray/TrayShell.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <QWidget>

#include <memory>
#include <vector>

inline const QRgb KTrayGreen = qRgb(0, 176, 0);
inline const QRgb KTrayRed = qRgb(255, 0, 0);
inline const QRgb KTrayDarkRed = qRgb(128, 0, 0);

// An icon's fill colour (the centre pixel); 0 for an empty icon.
inline QRgb ColourOf(const QIcon& AIcon)
{
    if (AIcon.isNull())
        return 0;
    // An icon gives no larger picture than it holds, so the centre is taken from what came.
    const QImage Image = AIcon.pixmap(16, 16).toImage();
    return Image.pixel(Image.width() / 2, Image.height() / 2);
}

struct TTrayCall {
    enum TKind { ckAdd, ckModify, ckRemove, ckNote };
    TKind Kind;
    QRgb Colour = 0;
    QString Tip;
    // Whether any window was on screen when the call was made.
    bool WindowShown = false;
};

// What the notification area was asked to do, kept beyond the window's life.
struct TTrayLog {
    std::vector<TTrayCall> Calls;
    bool Available = true;

    int CountOf(TTrayCall::TKind AKind) const
    {
        int Result = 0;
        for (const TTrayCall& Call : Calls)
            Result += Call.Kind == AKind;
        return Result;
    }
    // The colour last sent by an add or a modify; 0 when none was.
    QRgb Shown() const
    {
        for (auto Call = Calls.rbegin(); Call != Calls.rend(); ++Call)
            if (Call->Kind == TTrayCall::ckAdd || Call->Kind == TTrayCall::ckModify)
                return Call->Colour;
        return 0;
    }
    // The colours sent by modify calls from position AFrom on: the frames shown. A modify that
    // only changed the tooltip (the summary of what is down) is no frame.
    std::vector<QRgb> ModifiedColours(size_t AFrom = 0) const
    {
        std::vector<QRgb> Result;
        const TTrayCall* Last = nullptr;
        for (size_t I = 0; I < Calls.size(); ++I) {
            const TTrayCall& Call = Calls[I];
            if (Call.Kind != TTrayCall::ckAdd && Call.Kind != TTrayCall::ckModify)
                continue;
            const bool TipOnly = Last && Call.Kind == TTrayCall::ckModify && Call.Colour == Last->Colour
                && Call.Tip != Last->Tip;
            if (I >= AFrom && Call.Kind == TTrayCall::ckModify && !TipOnly)
                Result.push_back(Call.Colour);
            Last = &Call;
        }
        return Result;
    }
    void Note(const QString& AText) { Calls.push_back({ TTrayCall::ckNote, 0, AText, false }); }
};

inline bool AnyWindowShown()
{
    for (QWidget* Widget : QApplication::topLevelWidgets())
        if (Widget->isVisible())
            return true;
    return false;
}

// A notification area that accepts the icon while the log says there is one, and passes
// mouse messages from the test to the tray icon.
class TRecordingTrayShell : public TTrayShell {
public:
    explicit TRecordingTrayShell(std::shared_ptr<TTrayLog> ALog)
        : FLog(std::move(ALog))
    {
    }
    bool IsAvailable() const override { return FLog->Available; }
    bool Add(const QIcon& AIcon, const QString& ATip) override
    {
        FLog->Calls.push_back({ TTrayCall::ckAdd, ColourOf(AIcon), ATip, AnyWindowShown() });
        return FLog->Available;
    }
    void Modify(const QIcon& AIcon, const QString& ATip) override
    {
        FLog->Calls.push_back({ TTrayCall::ckModify, ColourOf(AIcon), ATip, AnyWindowShown() });
    }
    void Remove() override { FLog->Calls.push_back({ TTrayCall::ckRemove, 0, QString(), AnyWindowShown() }); }
    bool SetMenu(QMenu* AMenu) override
    {
        Menu = AMenu;
        return ShowsMenu;
    }
    void Send(TTrayMouseMessage AMessage) { Post(AMessage); }

    // Whether this desktop shows the icon's menu itself, and the menu it was given.
    bool ShowsMenu = false;
    QMenu* Menu = nullptr;

private:
    std::shared_ptr<TTrayLog> FLog;
};
