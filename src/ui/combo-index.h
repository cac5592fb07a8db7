#pragma once

#include <QComboBox>

// Selects the item at index. An index the combo has no item for (from the
// settings store or from the instrument) leaves the selection as it was: a
// blank combo would show nothing and store -1 at the next change.
inline bool selectComboIndex(QComboBox *combo, int index)
{
    if (index < 0 || index >= combo->count())
        return false;
    combo->setCurrentIndex(index);
    return true;
}
