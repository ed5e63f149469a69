#pragma once

#include <QDate>
#include <QString>
#include <QTime>
#include <QVariantList>

// What the filter window's controls hold when the operator applies the filter. Indexes are those of
// the drop-downs (-1 for no selection); the texts are the selected items' texts.
struct FilterSelection
{
    bool lowerOn = false;
    QDate lowerDate;
    QTime lowerTime;
    bool upperOn = false;
    QDate upperDate;
    QTime upperTime;
    int wardIndex = 0; // 0 all wards, 1 entries without a ward, 2.. a ward by name
    QString wardText;
    int placeIndex = -1; // 0 or none: all places
    QString placeText;
    int functionIndex = 0;    // 0 all functions
    QString functionCode;     // "8", "4", "b"
    QString functionText;     // as the drop-down shows it
    int reactionIndex = 0;    // 0 off, 1 at least, 2 at most
    QString reactionText;     // as the drop-down shows it
    QString thresholdMinutes; // the threshold edit's text, digits only
};

// The journal clause: empty, or " WHERE " and the conditions joined by " AND ". Every value the
// operator chose is a `?` parameter of `params`, in order; nothing typed or picked is spliced in.
struct FilterClause
{
    QString where;
    QVariantList params;
};

namespace Filter {

// A timestamp text of the journal ("yyyy.MM.dd hh:mm:ss") for a date and a time of day, so bounds
// compare with the stored timestamps as text.
QString timestampText(const QDate& date, const QTime& time);

// Minutes as a reaction-time text "hh:nn:00"; an empty text is 0 minutes. Hours beyond two digits
// become 99, so every bound keeps the stored fixed width. Throws AppError
// "'<text>' is not a valid integer value" when the text is not a 32-bit number.
QString thresholdText(const QString& minutes);

// The conditions in their fixed order: lower bound, upper bound, ward, place, function, reaction
// time. Throws what thresholdText throws.
FilterClause buildClause(const FilterSelection& selection);

// What the clause lets through, as the operator reads it: its conditions in the same order, each
// as the controls show it ("с 01.12.2017 08:00, Палата 1, вызов"); empty when it has none.
QString describe(const FilterSelection& selection);

} // namespace Filter
