// TIconList: content after each kind of change, one notification per change or batch,
// assignment, and bad indexes.
#include "tray/IcoList.h"

#include "support/Tray.h"

#include <QImage>
#include <QPixmap>
#include <QtTest>

#include <stdexcept>
#include <vector>

namespace {

QIcon Solid(QRgb AColour)
{
    QImage Image(4, 4, QImage::Format_ARGB32);
    Image.fill(AColour);
    return QIcon(QPixmap::fromImage(Image));
}

const QRgb A = qRgb(1, 0, 0), B = qRgb(2, 0, 0), C = qRgb(3, 0, 0), D = qRgb(4, 0, 0);

std::vector<QRgb> Colours(const TIconList& AList)
{
    std::vector<QRgb> Result;
    for (int I = 0; I < AList.Count(); ++I)
        Result.push_back(ColourOf(AList[I]));
    return Result;
}

// A list holding A, B, C, D that counts its notifications in ACount (not counting the fill).
void Fill(TIconList& AList, int& ACount)
{
    for (QRgb Colour : { A, B, C, D })
        AList.Add(Solid(Colour));
    ACount = 0;
    AList.OnChange = [&ACount] { ++ACount; };
}

} // namespace

class TestIconList : public QObject {
    Q_OBJECT

private slots:
    void EachChangeNotifiesOnce()
    {
        TIconList List;
        int Count = 0;
        Fill(List, Count);

        QCOMPARE(List.Add(Solid(A)), 4);
        QCOMPARE(Count, 1);
        List.Delete(4);
        QCOMPARE(Count, 2);
        QVERIFY(Colours(List) == (std::vector<QRgb> { A, B, C, D }));

        List.Insert(0, Solid(D));
        QCOMPARE(Count, 3);
        QVERIFY(Colours(List) == (std::vector<QRgb> { D, A, B, C, D }));
        List.Insert(5, Solid(C)); // at Count: appended
        QCOMPARE(Count, 4);
        QVERIFY(Colours(List) == (std::vector<QRgb> { D, A, B, C, D, C }));
        List.Delete(0);
        List.Delete(4);
        QCOMPARE(Count, 6);
        QVERIFY(Colours(List) == (std::vector<QRgb> { A, B, C, D }));

        List.Exchange(0, 3);
        QCOMPARE(Count, 7);
        QVERIFY(Colours(List) == (std::vector<QRgb> { D, B, C, A }));

        List.SetIcon(1, Solid(A));
        QCOMPARE(Count, 8);
        QVERIFY(Colours(List) == (std::vector<QRgb> { D, A, C, A }));

        List.Clear();
        QCOMPARE(Count, 9);
        QCOMPARE(List.Count(), 0);
    }

    void MoveTakesOutAndPutsBack()
    {
        TIconList List;
        int Count = 0;
        Fill(List, Count);
        List.Move(0, 2);
        QVERIFY(Colours(List) == (std::vector<QRgb> { B, C, A, D }));
        List.Move(3, 0);
        QVERIFY(Colours(List) == (std::vector<QRgb> { D, B, C, A }));
        List.Move(1, 1);
        QVERIFY(Colours(List) == (std::vector<QRgb> { D, B, C, A }));
        QCOMPARE(Count, 3);
    }

    void EmptySlotsAreKept()
    {
        TIconList List;
        List.Add(QIcon());
        List.Add(Solid(A));
        QCOMPARE(List.Count(), 2);
        QVERIFY(List[0].isNull());
        QCOMPARE(ColourOf(List[1]), A);
    }

    void BadIndexRaisesAndChangesNothing()
    {
        TIconList List;
        int Count = 0;
        Fill(List, Count);
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, List.Get(4));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, List.Get(-1));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, List.Delete(4));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, List.Insert(5, Solid(A)));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, List.Insert(-1, Solid(A)));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, List.Exchange(0, 4));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, List.Move(4, 0));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, List.Move(0, 4));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, List.SetIcon(7, Solid(A)));
        try {
            List.Delete(9);
            QFAIL("no exception");
        } catch (const std::out_of_range& E) {
            QCOMPARE(QByteArray(E.what()), QByteArray("List index out of bounds (9)"));
        }
        QCOMPARE(Count, 0);
        QVERIFY(Colours(List) == (std::vector<QRgb> { A, B, C, D }));
    }

    void BatchNotifiesOnceAtTheEnd()
    {
        TIconList List;
        int Count = 0;
        Fill(List, Count);
        List.BeginUpdate();
        List.Clear();
        List.Add(Solid(C));
        List.Add(Solid(D));
        List.Exchange(0, 1);
        QCOMPARE(Count, 0);
        List.EndUpdate();
        QCOMPARE(Count, 1);
        QVERIFY(Colours(List) == (std::vector<QRgb> { D, C }));
    }

    void NestedBatchNotifiesAtTheOutermostEnd()
    {
        TIconList List;
        int Count = 0;
        Fill(List, Count);
        List.BeginUpdate();
        List.BeginUpdate();
        List.Delete(0);
        List.EndUpdate();
        QCOMPARE(Count, 0);
        List.Delete(0);
        List.EndUpdate();
        QCOMPARE(Count, 1);
        QCOMPARE(List.UpdateCount(), 0);
    }

    void BatchWithoutChangeIsSilent()
    {
        TIconList List;
        int Count = 0;
        Fill(List, Count);
        List.BeginUpdate();
        List.EndUpdate();
        QCOMPARE(Count, 0);
    }

    void BatchAfterAFailedChangeStillNotifies()
    {
        TIconList List;
        int Count = 0;
        Fill(List, Count);
        List.BeginUpdate();
        List.Add(Solid(A));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, List.Delete(10));
        List.EndUpdate();
        QCOMPARE(Count, 1);
    }

    void UnmatchedEndUpdateIsIgnored()
    {
        TIconList List;
        int Count = 0;
        Fill(List, Count);
        List.EndUpdate();
        QCOMPARE(List.UpdateCount(), 0);
        List.Add(Solid(A)); // not held back by a count gone negative
        QCOMPARE(Count, 1);
    }

    void AssignCopiesTheIconsWithOneNotification()
    {
        TIconList Source;
        int SourceCount = 0;
        Fill(Source, SourceCount);
        TIconList Target;
        Target.Add(Solid(C));
        int Count = 0;
        Target.OnChange = [&Count] { ++Count; };

        Target.Assign(Source);
        QCOMPARE(Count, 1);
        QVERIFY(Colours(Target) == (std::vector<QRgb> { A, B, C, D }));
        QCOMPARE(SourceCount, 0);

        // The copies are the target's own: changing the source leaves them alone.
        Source.Clear();
        QCOMPARE(Target.Count(), 4);

        Target.Assign(Target);
        QCOMPARE(Count, 1);
        QCOMPARE(Target.Count(), 4);
    }

    void AssignInsideABatchIsHeldBack()
    {
        TIconList Source;
        int SourceCount = 0;
        Fill(Source, SourceCount);
        TIconList Target;
        int Count = 0;
        Target.OnChange = [&Count] { ++Count; };
        Target.BeginUpdate();
        Target.Assign(Source);
        Target.Delete(0);
        QCOMPARE(Count, 0);
        Target.EndUpdate();
        QCOMPARE(Count, 1);
        QVERIFY(Colours(Target) == (std::vector<QRgb> { B, C, D }));
    }
};

QTEST_MAIN(TestIconList)
#include "TestIconList.moc"
