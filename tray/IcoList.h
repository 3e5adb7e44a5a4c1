// An ordered list of icons that tells its owner about every change, with batching.
#pragma once

#include <QIcon>

#include <functional>
#include <vector>

// The list owns its icons (QIcon values); a slot may hold an empty icon. Every change
// (add, insert, delete, exchange, move, clear, a change of one icon, assign) calls OnChange
// once; between BeginUpdate and the matching EndUpdate the calls are held back and
// OnChange runs once at the end, if anything changed. An index out of range raises
// std::out_of_range ("List index out of bounds (N)") and leaves the list as it was.
class TIconList {
public:
    using TChangeEvent = std::function<void()>;

    TIconList() = default;
    TIconList(const TIconList&) = delete;
    TIconList& operator=(const TIconList&) = delete;

    int Count() const { return static_cast<int>(FIcons.size()); }
    const QIcon& Get(int AIndex) const;
    const QIcon& operator[](int AIndex) const { return Get(AIndex); }

    // Returns the new icon's index.
    int Add(const QIcon& AIcon);
    // AIndex may equal Count (the icon is appended).
    void Insert(int AIndex, const QIcon& AIcon);
    void Delete(int AIndex);
    void Exchange(int AIndex1, int AIndex2);
    // Takes the icon at ACurIndex out and puts it back so that it ends at ANewIndex.
    void Move(int ACurIndex, int ANewIndex);
    void Clear();
    // Replaces the icon in one slot.
    void SetIcon(int AIndex, const QIcon& AIcon);
    // Copies ASource's icons into this list, replacing its own; one notification.
    void Assign(const TIconList& ASource);

    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return FUpdateCount; }

    // The owner's handler; empty means nobody is told.
    TChangeEvent OnChange;

private:
    void CheckIndex(int AIndex, int ALimit) const;
    void Changed();

    std::vector<QIcon> FIcons;
    int FUpdateCount = 0;
    bool FChangedInUpdate = false;
};
