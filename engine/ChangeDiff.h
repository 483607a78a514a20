#pragma once
// A change as a person reads it: which parts of a value stayed, which went and which came, shared by the
// Preview window, its CSV and the command line so that all three show the same change.

#include <QList>
#include <QString>
#include <QStringView>

namespace quarvel::engine {

struct ChangeSegment
{
    enum Kind { Same, Removed, Added };
    Kind kind = Same;
    QString text;
    friend bool operator==(const ChangeSegment&, const ChangeSegment&) = default;
};
using ChangeSegments = QList<ChangeSegment>;

// Enough for two values of some thousand characters that differ throughout, and a fraction of a second.
constexpr qsizetype DiffWorkLimit = 400'000;

// The segments that turn `before` into `after`, in order: Same, and where they differ the Removed part
// before the Added one. Few and whole rather than many and scattered: a stretch kept between two changes
// that is no longer than them joins them. Never splits a surrogate pair. Past `workLimit` steps of
// comparing, the part between the common start and the common end is one Removed and one Added segment.
// For a chain of pairs, `before` is the value the first pair met, so that the change is the chain's.
ChangeSegments changeSegments(QStringView before, QStringView after, qsizetype workLimit = DiffWorkLimit);

// One side of a change (the old value: Same and Removed; the new: Same and Added), starting at most
// `context` characters before the first change, at most `width` characters of the value long. Text left
// out is "..." at either end, in a Same segment. A change that has nothing on this side (an insertion
// seen from the old value) is an empty segment, so that its place still shows.
ChangeSegments sideOfChange(const ChangeSegments& change, ChangeSegment::Kind side, qsizetype context,
                            qsizetype width);

// The text with each changed part between « and »: what a reader without colour goes by.
QString markedText(const ChangeSegments& side);

// The whole change in one text, removed parts as [-text-] and added ones as {+text+}.
QString changeText(const ChangeSegments& change);

} // namespace quarvel::engine
