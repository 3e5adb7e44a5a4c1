// TTrayIcon against a recording notification area: placing, refreshing and removing the
// icon, the tooltip, the animation and the mouse table; and against Qt's own notification
// area on a display that has none.
#include "tray/TrayIcons.h"
#include "tray/TrayShell.h"

#include "support/Tray.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QMenu>
#include <QtTest>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct TFixture {
    std::shared_ptr<TTrayLog> Log = std::make_shared<TTrayLog>();
    TRecordingTrayShell* Shell = nullptr;
    std::unique_ptr<TTrayIcon> Tray;
    int DblClicks = 0;

    // A tray icon on the recording shell, still loading.
    TFixture()
    {
        auto Owned = std::make_unique<TRecordingTrayShell>(Log);
        Shell = Owned.get();
        Tray = std::make_unique<TTrayIcon>(nullptr, std::move(Owned));
    }
    // The tray icon as the main window makes it, placed in the tray; the log starts empty.
    static std::unique_ptr<TFixture> Main()
    {
        auto Result = std::make_unique<TFixture>();
        TFixture* Self = Result.get();
        SetupMainWindowTray(*Result->Tray, [Self](TTrayIcon*) { ++Self->DblClicks; });
        Result->Log->Calls.clear();
        return Result;
    }
};

bool AnyTopLevelVisible()
{
    for (QWidget* Widget : QApplication::topLevelWidgets())
        if (Widget->isVisible())
            return true;
    return false;
}

} // namespace

class TestTrayIcon : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { SetTrayErrorReport(nullptr); }

    void Defaults()
    {
        TFixture F;
        TTrayIcon& T = *F.Tray;
        QVERIFY(T.Active());
        QVERIFY(T.Enabled());
        QVERIFY(T.Hint().isEmpty());
        QVERIFY(T.Icon().isNull());
        QCOMPARE(T.Icons().Count(), 0);
        QVERIFY(!T.Animated());
        QCOMPARE(T.Interval(), uint16_t(150));
        QVERIFY(T.PopupMenu() == nullptr);
        QVERIFY(!T.ShowDesign());
        QCOMPARE(T.FrameIndex(), -1);
        QVERIFY(!T.InTray());
        QVERIFY(T.IsLoading());
        // While loading, setting properties does not touch the notification area.
        T.SetHint(QStringLiteral("x"));
        T.SetIcon(TrayIconGreen());
        QVERIFY(F.Log->Calls.empty());
    }

    void PicturesAreSixteenSquareAndTellApart()
    {
        QCOMPARE(ColourOf(TrayIconGreen()), KTrayGreen);
        QCOMPARE(ColourOf(TrayIconRed()), KTrayRed);
        QCOMPARE(ColourOf(TrayIconDarkRed()), KTrayDarkRed);
        QVERIFY(TrayIconGreen().availableSizes().contains(QSize(16, 16)));
    }

    void MainWindowValuesPlaceTheGreenIconOnce()
    {
        TFixture F;
        SetupMainWindowTray(*F.Tray, [](TTrayIcon*) {});
        TTrayIcon& T = *F.Tray;
        QVERIFY(!T.IsLoading());
        QCOMPARE(F.Log->Calls.size(), size_t(2));
        QCOMPARE(F.Log->Calls[0].Kind, TTrayCall::ckRemove);
        QCOMPARE(F.Log->Calls[1].Kind, TTrayCall::ckAdd);
        QCOMPARE(F.Log->Calls[1].Colour, KTrayGreen);
        QCOMPARE(F.Log->Calls[1].Tip, QStringLiteral("Vardex"));
        QVERIFY(T.InTray());
        QCOMPARE(T.Interval(), uint16_t(500));
        QCOMPARE(T.Icons().Count(), 2);
        QCOMPARE(ColourOf(T.Icons()[0]), KTrayRed);
        QCOMPARE(ColourOf(T.Icons()[1]), KTrayDarkRed);
        QVERIFY(!T.Animated());
        QVERIFY(!T.IsAnimationRunning());
        QVERIFY(T.OnDblClick != nullptr);
        QVERIFY(T.IsTrayAvailable());
    }

    void ShortHint_data()
    {
        QTest::addColumn<QString>("Hint");
        QTest::addColumn<QString>("Shown");
        const QString A63(63, QLatin1Char('a'));
        const QString Smile = QString::fromUtf8("\xF0\x9F\x98\x80"); // one character, two UTF-16 units
        QTest::newRow("plain") << "Vardex"
                               << "Vardex";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("cut at bar") << "Vardex|long help"
                                    << "Vardex";
        QTest::newRow("first bar") << "a|b|c"
                                   << "a";
        QTest::newRow("bar first") << "|tail"
                                   << "";
        QTest::newRow("63 kept") << A63 << A63;
        QTest::newRow("64 cut") << A63 + "b" << A63;
        QTest::newRow("long, bar later") << A63 + "bbbb|c" << A63;
        QTest::newRow("bar before 63")
            << QString(70, QLatin1Char('x')).replace(10, 1, "|") << QString(10, 'x');
        QTest::newRow("cyrillic counted by character")
            << QString(70, QChar(0x0416)) << QString(63, QChar(0x0416));
        QTest::newRow("pair at the limit kept") << QString(62, 'a') + Smile << QString(62, 'a') + Smile;
        QTest::newRow("pair past the limit dropped whole") << A63 + Smile << A63;
    }
    void ShortHint()
    {
        QFETCH(QString, Hint);
        QFETCH(QString, Shown);
        QCOMPARE(TTrayIcon::ShortHint(Hint), Shown);
    }

    void HintChangeSendsTheShortHint()
    {
        auto F = TFixture::Main();
        F->Tray->SetHint(QStringLiteral("Vardex: 2 down|details"));
        QCOMPARE(F->Log->Calls.size(), size_t(1));
        QCOMPARE(F->Log->Calls[0].Kind, TTrayCall::ckModify);
        QCOMPARE(F->Log->Calls[0].Tip, QStringLiteral("Vardex: 2 down"));
        QCOMPARE(F->Tray->Hint(), QStringLiteral("Vardex: 2 down|details")); // kept whole
    }

    void IconChangeModifiesAndEmptyIconRemoves()
    {
        auto F = TFixture::Main();
        F->Tray->SetIcon(TrayIconDarkRed());
        QCOMPARE(F->Log->Calls.size(), size_t(1));
        QCOMPARE(F->Log->Calls[0].Kind, TTrayCall::ckModify);
        QCOMPARE(F->Log->Calls[0].Colour, KTrayDarkRed);

        F->Log->Calls.clear();
        F->Tray->SetIcon(QIcon());
        QVERIFY(!F->Tray->InTray());
        QCOMPARE(F->Log->CountOf(TTrayCall::ckRemove), int(F->Log->Calls.size()));
        QVERIFY(!F->Log->Calls.empty());

        F->Log->Calls.clear();
        F->Tray->SetIcon(TrayIconGreen());
        QVERIFY(F->Tray->InTray());
        QCOMPARE(F->Log->Calls.back().Kind, TTrayCall::ckAdd);
        QCOMPARE(F->Log->Calls.back().Colour, KTrayGreen);
    }

    void NoIconNoPlace()
    {
        TFixture F;
        F.Tray->SetHint(QStringLiteral("Vardex"));
        F.Tray->Loaded();
        QVERIFY(!F.Tray->InTray());
        QCOMPARE(F.Log->CountOf(TTrayCall::ckAdd), 0);
    }

    void FramesChangeOneAfterAnother()
    {
        auto F = TFixture::Main();
        TTrayIcon& T = *F->Tray;
        T.SetInterval(20);

        QElapsedTimer Clock;
        Clock.start();
        T.SetAnimated(true);
        // The first frame at once.
        QVERIFY(T.Animated());
        QCOMPARE(T.FrameIndex(), 0);
        QVERIFY(T.IsAnimationRunning());
        QCOMPARE(F->Log->Calls.size(), size_t(1));
        QCOMPARE(F->Log->Calls[0].Kind, TTrayCall::ckModify);
        QCOMPARE(F->Log->Calls[0].Colour, KTrayRed);
        QCOMPARE(F->Log->Calls[0].Tip, QStringLiteral("Vardex"));

        QTRY_VERIFY_WITH_TIMEOUT(F->Log->ModifiedColours().size() >= 9, 10000);
        const qint64 Elapsed = Clock.elapsed();
        const std::vector<QRgb> Frames = F->Log->ModifiedColours();
        for (size_t I = 0; I < Frames.size(); ++I)
            QCOMPARE(Frames[I], I % 2 == 0 ? KTrayRed : KTrayDarkRed);
        // A frame never comes before its interval is over.
        QVERIFY2(qint64(Frames.size() - 1) <= Elapsed / 20 + 1,
            qPrintable(QStringLiteral("%1 frames in %2 ms").arg(Frames.size()).arg(Elapsed)));
        QCOMPARE(F->Log->CountOf(TTrayCall::ckModify), int(F->Log->Calls.size()));

        F->Log->Calls.clear();
        T.SetAnimated(false);
        // The static icon at once, and nothing after.
        QVERIFY(!T.IsAnimationRunning());
        QCOMPARE(T.FrameIndex(), 0);
        QCOMPARE(F->Log->Calls.size(), size_t(1));
        QCOMPARE(F->Log->Calls[0].Colour, KTrayGreen);
        QTest::qWait(100);
        QCOMPARE(F->Log->Calls.size(), size_t(1));
    }

    void IntervalChangeReachesARunningAnimation()
    {
        auto F = TFixture::Main();
        F->Tray->SetAnimated(true);
        F->Tray->SetInterval(20);
        // At 500 ms this would take seconds.
        QTRY_VERIFY_WITH_TIMEOUT(F->Log->ModifiedColours().size() >= 4, 1500);
    }

    void FastTogglingLeavesNothingRunning()
    {
        auto F = TFixture::Main();
        TTrayIcon& T = *F->Tray;
        T.SetInterval(5);
        for (int I = 0; I < 2000; ++I) {
            T.SetAnimated(I % 2 == 0);
            // Every switch on shows the first frame at once, every switch off the static icon.
            QCOMPARE(F->Log->Calls.back().Colour, I % 2 == 0 ? KTrayRed : KTrayGreen);
            if (I % 50 == 0)
                QTest::qWait(7); // let some frames run in between
            else
                QCoreApplication::processEvents();
        }
        QVERIFY(!T.Animated());
        QVERIFY(!T.IsAnimationRunning());
        QCOMPARE(F->Log->Calls.back().Kind, TTrayCall::ckModify);
        QCOMPARE(F->Log->Calls.back().Colour, KTrayGreen);
        const size_t Calls = F->Log->Calls.size();
        QTest::qWait(60);
        QCOMPARE(F->Log->Calls.size(), Calls);
        QCOMPARE(F->Log->CountOf(TTrayCall::ckAdd), 0);
        QVERIFY(T.InTray());
    }

    void NoFramesNoAnimation()
    {
        TFixture F;
        F.Tray->SetIcon(TrayIconGreen());
        F.Tray->Loaded();
        F.Log->Calls.clear();
        F.Tray->SetAnimated(true);
        QVERIFY(!F.Tray->Animated());
        QVERIFY(!F.Tray->IsAnimationRunning());
        QCOMPARE(F.Tray->FrameIndex(), -1);
        QVERIFY(F.Log->Calls.empty());
    }

    void LosingTheFramesStopsTheAnimation()
    {
        auto F = TFixture::Main();
        TTrayIcon& T = *F->Tray;
        T.SetAnimated(true);
        F->Log->Calls.clear();
        T.Icons().Clear();
        QVERIFY(!T.Animated());
        QVERIFY(!T.IsAnimationRunning());
        QVERIFY(!F->Log->Calls.empty());
        QCOMPARE(F->Log->Calls.back().Kind, TTrayCall::ckModify);
        QCOMPARE(F->Log->Calls.back().Colour, KTrayGreen);
    }

    void FramesGoneInsideABatchAreHarmless()
    {
        auto F = TFixture::Main();
        TTrayIcon& T = *F->Tray;
        T.SetInterval(10);
        T.SetAnimated(true);
        T.Icons().BeginUpdate();
        T.Icons().Clear();
        const size_t Calls = F->Log->Calls.size();
        QTest::qWait(60); // ticks find no frames and do nothing
        QCOMPARE(F->Log->Calls.size(), Calls);
        QCOMPARE(ColourOf(T.CurrentIcon()), KTrayGreen);
        T.Icons().EndUpdate();
        QVERIFY(!T.Animated());
        QVERIFY(!T.IsAnimationRunning());
    }

    void CurrentIconClampsTheFrameIndex()
    {
        auto F = TFixture::Main();
        TTrayIcon& T = *F->Tray;
        T.SetAnimated(true);
        QCOMPARE(ColourOf(T.CurrentIcon()), KTrayRed);
        // Frames taken away inside a batch: the index is clamped, not read past the end.
        T.Icons().BeginUpdate();
        T.Icons().Delete(0);
        QCOMPARE(ColourOf(T.CurrentIcon()), KTrayDarkRed);
        T.Icons().EndUpdate();
        QVERIFY(T.Animated());
        QCOMPARE(F->Log->Calls.back().Colour, KTrayDarkRed);
    }

    void AssignedFramesAreShown()
    {
        auto F = TFixture::Main();
        TIconList Other;
        Other.Add(TrayIconGreen());
        Other.Add(TrayIconRed());
        F->Tray->SetAnimated(true);
        F->Log->Calls.clear();
        F->Tray->SetIcons(Other);
        QCOMPARE(F->Log->Calls.size(), size_t(1)); // one notification, one modify
        QCOMPARE(F->Log->Calls[0].Colour, KTrayGreen);
    }

    void RemoveSuspendsAndAddResumes()
    {
        auto F = TFixture::Main();
        TTrayIcon& T = *F->Tray;
        T.SetAnimated(true);
        F->Log->Calls.clear();
        T.RemoveFromTray();
        QVERIFY(!T.InTray());
        QVERIFY(!T.IsAnimationRunning());
        QCOMPARE(F->Log->Calls.size(), size_t(1));
        QCOMPARE(F->Log->Calls[0].Kind, TTrayCall::ckRemove);

        F->Log->Calls.clear();
        T.AddToTray();
        QVERIFY(T.InTray());
        QVERIFY(T.IsAnimationRunning());
        QCOMPARE(F->Log->Calls.back().Kind, TTrayCall::ckAdd);
        QCOMPARE(F->Log->Calls.back().Colour, KTrayRed);
    }

    void DestructionRemovesTheIcon()
    {
        auto F = TFixture::Main();
        std::shared_ptr<TTrayLog> Log = F->Log;
        F->Tray.reset();
        QCOMPARE(Log->Calls.size(), size_t(1));
        QCOMPARE(Log->Calls[0].Kind, TTrayCall::ckRemove);
    }

    void DestructionWhileAnimatedOnlyRemoves()
    {
        auto F = TFixture::Main();
        std::shared_ptr<TTrayLog> Log = F->Log;
        F->Tray->SetInterval(5);
        F->Tray->SetAnimated(true);
        QTest::qWait(20);
        Log->Calls.clear();
        F->Tray.reset();
        QCOMPARE(Log->Calls.size(), size_t(1));
        QCOMPARE(Log->Calls[0].Kind, TTrayCall::ckRemove);
        QTest::qWait(20); // no tick arrives for the gone icon
        QCOMPARE(Log->Calls.size(), size_t(1));
    }

    void InactiveKeepsTheIconOut()
    {
        TFixture F;
        F.Tray->SetActive(false);
        SetupMainWindowTray(*F.Tray, nullptr);
        QCOMPARE(F.Log->CountOf(TTrayCall::ckAdd), 0);
        QVERIFY(!F.Tray->InTray());
        F.Tray->SetHint(QStringLiteral("other"));
        F.Tray->SetAnimated(true);
        QCOMPARE(F.Log->CountOf(TTrayCall::ckAdd), 0);
        QVERIFY(!F.Tray->IsAnimationRunning());

        F.Tray->SetActive(true);
        QVERIFY(F.Tray->InTray());
        QCOMPARE(F.Log->Calls.back().Kind, TTrayCall::ckAdd);
        QCOMPARE(F.Log->Calls.back().Colour, KTrayRed);
        QCOMPARE(F.Log->Calls.back().Tip, QStringLiteral("other"));
        QVERIFY(F.Tray->IsAnimationRunning());

        F.Log->Calls.clear();
        F.Tray->SetActive(false);
        QVERIFY(!F.Tray->InTray());
        QVERIFY(!F.Tray->IsAnimationRunning());
        QCOMPARE(F.Log->Calls.size(), size_t(1));
        QCOMPARE(F.Log->Calls[0].Kind, TTrayCall::ckRemove);
    }

    void RefusedAddIsTriedAgainOnTheNextChange()
    {
        TFixture F;
        F.Log->Available = false;
        SetupMainWindowTray(*F.Tray, nullptr);
        QVERIFY(!F.Tray->InTray());
        QVERIFY(!F.Tray->IsTrayAvailable());
        F.Log->Available = true;
        F.Tray->SetHint(QStringLiteral("Vardex"));
        QVERIFY(F.Tray->InTray());
        QCOMPARE(F.Log->Calls.back().Kind, TTrayCall::ckAdd);
    }

    void MouseTable_data()
    {
        using M = TTrayMouseMessage;
        QTest::addColumn<std::vector<TTrayMouseMessage>>("Messages");
        QTest::addColumn<QStringList>("Events");
        QTest::newRow("left click") << std::vector<M> { M::mmLeftDown, M::mmLeftUp }
                                    << QStringList { "down L", "click", "up L" };
        QTest::newRow("left double-click") << std::vector<M> { M::mmLeftDown, M::mmLeftUp, M::mmLeftDblClick,
            M::mmLeftUp } << QStringList { "down L", "click", "up L", "dblclick", "down L double", "up L" };
        QTest::newRow("left up alone") << std::vector<M> { M::mmLeftUp } << QStringList { "up L" };
        QTest::newRow("right click") << std::vector<M> { M::mmRightDown, M::mmRightUp }
                                     << QStringList { "down R", "click", "up R" };
        QTest::newRow("right double-click")
            << std::vector<M> { M::mmRightDown, M::mmRightUp, M::mmRightDblClick, M::mmRightUp }
            << QStringList { "down R", "click", "up R", "down R double", "up R" };
        QTest::newRow("middle") << std::vector<M> { M::mmMiddleDown, M::mmMiddleUp, M::mmMiddleDblClick }
                                << QStringList { "down M", "up M", "down M double" };
        QTest::newRow("move") << std::vector<M> { M::mmMove } << QStringList { "move" };
        QTest::newRow("down on left, up on right")
            << std::vector<M> { M::mmLeftDown, M::mmRightUp } << QStringList { "down L", "up R" };
    }
    void MouseTable()
    {
        QFETCH(std::vector<TTrayMouseMessage>, Messages);
        QFETCH(QStringList, Events);
        auto F = TFixture::Main();
        TTrayIcon& T = *F->Tray;
        QStringList Seen;
        auto ButtonName = [](TMouseButton AButton) {
            return AButton == TMouseButton::mbLeft ? "L" : AButton == TMouseButton::mbRight ? "R" : "M";
        };
        auto ButtonFlag = [](TMouseButton AButton) -> TShiftState {
            return AButton == TMouseButton::mbLeft ? ssLeft
                : AButton == TMouseButton::mbRight ? ssRight
                                                   : ssMiddle;
        };
        T.OnClick = [&](TTrayIcon* ASender) {
            QCOMPARE(ASender, &T);
            Seen << "click";
        };
        T.OnDblClick = [&](TTrayIcon*) { Seen << "dblclick"; };
        T.OnMouseMove = [&](TTrayIcon*, TShiftState AShift, int, int) {
            QCOMPARE(AShift & (ssLeft | ssRight | ssMiddle | ssDouble), TShiftState(0));
            Seen << "move";
        };
        T.OnMouseDown = [&](TTrayIcon*, TMouseButton AButton, TShiftState AShift, int, int) {
            QVERIFY(AShift & ButtonFlag(AButton));
            Seen << QStringLiteral("down %1%2").arg(ButtonName(AButton), AShift & ssDouble ? " double" : "");
        };
        T.OnMouseUp = [&](TTrayIcon*, TMouseButton AButton, TShiftState AShift, int, int) {
            QVERIFY(AShift & ButtonFlag(AButton));
            QVERIFY(!(AShift & ssDouble));
            Seen << QStringLiteral("up %1").arg(ButtonName(AButton));
        };
        for (TTrayMouseMessage Message : Messages)
            F->Shell->Send(Message);
        QCOMPARE(Seen, Events);
        QVERIFY(F->Log->Calls.empty());

        // Disabled: nothing is raised.
        Seen.clear();
        T.SetEnabled(false);
        for (TTrayMouseMessage Message : Messages)
            F->Shell->Send(Message);
        QVERIFY(Seen.isEmpty());
    }

    void CursorPositionIsPassed()
    {
        auto F = TFixture::Main();
        QPoint Seen(-1, -1);
        F->Tray->OnMouseDown
            = [&](TTrayIcon*, TMouseButton, TShiftState, int AX, int AY) { Seen = QPoint(AX, AY); };
        QCursor::setPos(37, 41);
        F->Shell->Send(TTrayMouseMessage::mmLeftDown);
        QCOMPARE(Seen, QCursor::pos());
    }

    void RemovingForgetsAPendingClick()
    {
        auto F = TFixture::Main();
        int Clicks = 0;
        F->Tray->OnClick = [&](TTrayIcon*) { ++Clicks; };
        F->Shell->Send(TTrayMouseMessage::mmLeftDown);
        F->Shell->Send(TTrayMouseMessage::mmRightDown);
        QVERIFY(F->Tray->LeftClickPending());
        QVERIFY(F->Tray->RightClickPending());
        F->Tray->RemoveFromTray();
        QVERIFY(!F->Tray->LeftClickPending());
        QVERIFY(!F->Tray->RightClickPending());
        F->Shell->Send(TTrayMouseMessage::mmLeftUp);
        F->Shell->Send(TTrayMouseMessage::mmRightUp);
        QCOMPARE(Clicks, 0);
    }

    void DoubleClickReachesTheMainWindowHandler()
    {
        auto F = TFixture::Main();
        for (TTrayMouseMessage Message : TQtTrayShell::MessagesFor(QSystemTrayIcon::Trigger))
            F->Shell->Send(Message);
        QCOMPARE(F->DblClicks, 0);
        for (TTrayMouseMessage Message : TQtTrayShell::MessagesFor(QSystemTrayIcon::DoubleClick))
            F->Shell->Send(Message);
        QCOMPARE(F->DblClicks, 1);
    }

    void ClicksWithoutHandlersDoNothingVisible()
    {
        TFixture F;
        SetupMainWindowTray(*F.Tray, nullptr);
        F.Log->Calls.clear();
        for (auto Reason : { QSystemTrayIcon::Trigger, QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick,
                 QSystemTrayIcon::DoubleClick })
            for (TTrayMouseMessage Message : TQtTrayShell::MessagesFor(Reason))
                F.Shell->Send(Message);
        QVERIFY(F.Log->Calls.empty());
        QVERIFY(!AnyTopLevelVisible());
        QVERIFY(!F.Tray->LeftClickPending());
        QVERIFY(!F.Tray->RightClickPending());
    }

    void RightClickShowsThePopupMenu()
    {
        auto F = TFixture::Main();
        int Clicks = 0;
        F->Tray->OnClick = [&](TTrayIcon*) { ++Clicks; };
        auto Menu = std::make_unique<QMenu>();
        Menu->addAction(QStringLiteral("item"));
        F->Tray->SetPopupMenu(Menu.get());
        F->Shell->Send(TTrayMouseMessage::mmRightDown);
        F->Shell->Send(TTrayMouseMessage::mmRightUp);
        QVERIFY(Menu->isVisible());
        QCOMPARE(Clicks, 0);
        Menu->hide();
        // A left click still goes to OnClick.
        F->Shell->Send(TTrayMouseMessage::mmLeftDown);
        F->Shell->Send(TTrayMouseMessage::mmLeftUp);
        QCOMPARE(Clicks, 1);
        // The reference goes with the menu.
        Menu.reset();
        QVERIFY(F->Tray->PopupMenu() == nullptr);
        F->Shell->Send(TTrayMouseMessage::mmRightDown);
        F->Shell->Send(TTrayMouseMessage::mmRightUp);
        QCOMPARE(Clicks, 2);
    }

    void DoubleClickPrefersAnEnabledDefaultItem()
    {
        auto F = TFixture::Main();
        QMenu Menu;
        QAction* Item = Menu.addAction(QStringLiteral("open"));
        int Triggered = 0;
        connect(Item, &QAction::triggered, this, [&] { ++Triggered; });
        F->Tray->SetPopupMenu(&Menu);

        F->Shell->Send(TTrayMouseMessage::mmLeftDblClick);
        QCOMPARE(F->DblClicks, 1); // no default item
        Menu.setDefaultAction(Item);
        F->Shell->Send(TTrayMouseMessage::mmLeftDblClick);
        QCOMPARE(Triggered, 1);
        QCOMPARE(F->DblClicks, 1);
        Item->setEnabled(false);
        F->Shell->Send(TTrayMouseMessage::mmLeftDblClick);
        QCOMPARE(Triggered, 1);
        QCOMPARE(F->DblClicks, 2);
    }

    void HandlerErrorGoesToTheErrorReport()
    {
        auto F = TFixture::Main();
        QStringList Reported;
        SetTrayErrorReport([&](std::exception_ptr AError) {
            try {
                std::rethrow_exception(AError);
            } catch (const std::exception& E) {
                Reported << QString::fromUtf8(E.what());
            }
        });
        int Ups = 0;
        F->Tray->OnClick = [](TTrayIcon*) { throw std::runtime_error("handler failed"); };
        F->Tray->OnMouseUp = [&](TTrayIcon*, TMouseButton, TShiftState, int, int) { ++Ups; };
        F->Shell->Send(TTrayMouseMessage::mmLeftDown);
        F->Shell->Send(TTrayMouseMessage::mmLeftUp);
        QCOMPARE(Reported, QStringList { "handler failed" });
        QVERIFY(!F->Tray->LeftClickPending());
        QCOMPARE(Ups, 0); // the message's handling ended at the error
        // The next message is handled as usual.
        F->Tray->OnClick = nullptr;
        F->Shell->Send(TTrayMouseMessage::mmLeftDown);
        F->Shell->Send(TTrayMouseMessage::mmLeftUp);
        QCOMPARE(Ups, 1);
    }

    void QtActivationsMapToMouseMessages_data()
    {
        using M = TTrayMouseMessage;
        QTest::addColumn<QSystemTrayIcon::ActivationReason>("Reason");
        QTest::addColumn<bool>("StatusNotifier");
        QTest::addColumn<std::vector<TTrayMouseMessage>>("Messages");
        for (const bool StatusNotifier : { false, true }) {
            const char* Tray = StatusNotifier ? "D-Bus" : "X11";
            // The D-Bus host's activation is its way to open the program: a double-click.
            QTest::addRow("%s trigger", Tray)
                << QSystemTrayIcon::Trigger << StatusNotifier
                << (StatusNotifier ? std::vector<M> { M::mmLeftDblClick, M::mmLeftUp }
                                   : std::vector<M> { M::mmLeftDown, M::mmLeftUp });
            QTest::addRow("%s double-click", Tray) << QSystemTrayIcon::DoubleClick << StatusNotifier
                                                   << std::vector<M> { M::mmLeftDblClick, M::mmLeftUp };
            QTest::addRow("%s context", Tray) << QSystemTrayIcon::Context << StatusNotifier
                                              << std::vector<M> { M::mmRightDown, M::mmRightUp };
            QTest::addRow("%s middle", Tray) << QSystemTrayIcon::MiddleClick << StatusNotifier
                                             << std::vector<M> { M::mmMiddleDown, M::mmMiddleUp };
            QTest::addRow("%s unknown", Tray)
                << QSystemTrayIcon::Unknown << StatusNotifier << std::vector<M> {};
        }
    }
    void QtActivationsMapToMouseMessages()
    {
        QFETCH(QSystemTrayIcon::ActivationReason, Reason);
        QFETCH(bool, StatusNotifier);
        QFETCH(std::vector<TTrayMouseMessage>, Messages);
        QVERIFY(TQtTrayShell::MessagesFor(Reason, StatusNotifier) == Messages);
    }

    // A desktop that shows the menu itself gets it, and a right click does not show it twice.
    void MenuShownByTheDesktop()
    {
        auto F = TFixture::Main();
        F->Shell->ShowsMenu = true;
        int Clicks = 0;
        F->Tray->OnClick = [&](TTrayIcon*) { ++Clicks; };
        QMenu Menu;
        Menu.addAction(QStringLiteral("item"));
        F->Tray->SetPopupMenu(&Menu);
        QCOMPARE(F->Shell->Menu, &Menu);
        F->Shell->Send(TTrayMouseMessage::mmRightDown);
        F->Shell->Send(TTrayMouseMessage::mmRightUp);
        QVERIFY(!Menu.isVisible());
        QCOMPARE(Clicks, 0);
    }

    // Qt's notification area on a display without one (the offscreen platform).
    void QtShellWithoutNotificationArea()
    {
        int DblClicks = 0;
        auto Tray = std::make_unique<TTrayIcon>();
        SetupMainWindowTray(*Tray, [&](TTrayIcon*) { ++DblClicks; });
        QVERIFY(!Tray->IsTrayAvailable());
        QVERIFY(!Tray->InTray());
        auto& Shell = dynamic_cast<TQtTrayShell&>(Tray->Shell());
        QVERIFY(!Shell.SystemTrayIcon().isVisible());

        Tray->SetInterval(10);
        Tray->SetAnimated(true);
        QVERIFY(Tray->Animated());
        QTest::qWait(50);
        QVERIFY(!Tray->InTray());
        QVERIFY(!Shell.SystemTrayIcon().isVisible());
        Tray->SetHint(QStringLiteral("still nowhere"));
        Tray->SetAnimated(false);
        QVERIFY(!Tray->IsAnimationRunning());

        // Qt's activation signal goes through the same mouse table.
        emit Shell.SystemTrayIcon().activated(QSystemTrayIcon::Trigger);
        QCOMPARE(DblClicks, 0);
        emit Shell.SystemTrayIcon().activated(QSystemTrayIcon::DoubleClick);
        QCOMPARE(DblClicks, 1);
        Tray.reset();
    }
};

QTEST_MAIN(TestTrayIcon)
#include "TestTrayIcon.moc"
