#include "tray/IcoList.h"

#include <stdexcept>
#include <string>
#include <utility>

const QIcon& TIconList::Get(int AIndex) const
{
    CheckIndex(AIndex, Count() - 1);
    return FIcons[static_cast<size_t>(AIndex)];
}

int TIconList::Add(const QIcon& AIcon)
{
    FIcons.push_back(AIcon);
    Changed();
    return Count() - 1;
}

void TIconList::Insert(int AIndex, const QIcon& AIcon)
{
    CheckIndex(AIndex, Count());
    FIcons.insert(FIcons.begin() + AIndex, AIcon);
    Changed();
}

void TIconList::Delete(int AIndex)
{
    CheckIndex(AIndex, Count() - 1);
    FIcons.erase(FIcons.begin() + AIndex);
    Changed();
}

void TIconList::Exchange(int AIndex1, int AIndex2)
{
    CheckIndex(AIndex1, Count() - 1);
    CheckIndex(AIndex2, Count() - 1);
    std::swap(FIcons[static_cast<size_t>(AIndex1)], FIcons[static_cast<size_t>(AIndex2)]);
    Changed();
}

void TIconList::Move(int ACurIndex, int ANewIndex)
{
    CheckIndex(ACurIndex, Count() - 1);
    CheckIndex(ANewIndex, Count() - 1);
    if (ACurIndex != ANewIndex) {
        QIcon Icon = std::move(FIcons[static_cast<size_t>(ACurIndex)]);
        FIcons.erase(FIcons.begin() + ACurIndex);
        FIcons.insert(FIcons.begin() + ANewIndex, std::move(Icon));
    }
    Changed();
}

void TIconList::Clear()
{
    FIcons.clear();
    Changed();
}

void TIconList::SetIcon(int AIndex, const QIcon& AIcon)
{
    CheckIndex(AIndex, Count() - 1);
    FIcons[static_cast<size_t>(AIndex)] = AIcon;
    Changed();
}

void TIconList::Assign(const TIconList& ASource)
{
    if (&ASource == this)
        return;
    FIcons = ASource.FIcons;
    Changed();
}

void TIconList::BeginUpdate()
{
    ++FUpdateCount;
}

void TIconList::EndUpdate()
{
    // An unmatched EndUpdate is ignored rather than leaving the count negative, which
    // would hold back every later notification.
    if (FUpdateCount == 0)
        return;
    if (--FUpdateCount == 0 && FChangedInUpdate) {
        FChangedInUpdate = false;
        if (OnChange)
            OnChange();
    }
}

void TIconList::CheckIndex(int AIndex, int ALimit) const
{
    if (AIndex < 0 || AIndex > ALimit)
        throw std::out_of_range("List index out of bounds (" + std::to_string(AIndex) + ")");
}

void TIconList::Changed()
{
    if (FUpdateCount > 0) {
        FChangedInUpdate = true;
        return;
    }
    if (OnChange)
        OnChange();
}
