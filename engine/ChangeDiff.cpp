#include "engine/ChangeDiff.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace quarvel::engine {

namespace {

const QString Cut = QStringLiteral("...");

void append(ChangeSegments& out, ChangeSegment::Kind kind, const QString& text)
{
    if (text.isEmpty())
        return;
    if (!out.isEmpty() && out.last().kind == kind)
        out.last().text += text;
    else
        out.append({kind, text});
}

// Myers' walk over code points, giving up past `limit` steps.
std::optional<ChangeSegments> shortestEdit(const std::u32string& a, const std::u32string& b, qsizetype limit)
{
    const auto n = static_cast<long long>(a.size());
    const auto m = static_cast<long long>(b.size());
    const long long max = n + m;
    std::vector<long long> v(static_cast<size_t>(2 * max + 3), 0);
    const auto at = [&](long long k) -> long long& { return v[static_cast<size_t>(k + max + 1)]; };
    // Each round keeps the band of furthest points it started from, for the walk back.
    std::vector<std::vector<long long>> rounds;
    qsizetype work = 0;
    long long end = -1;
    for (long long d = 0; d <= max && end < 0; ++d) {
        std::vector<long long>& kept = rounds.emplace_back();
        for (long long k = -d - 1; k <= d + 1; ++k)
            kept.push_back(k + max + 1 >= 0 && k + max + 1 < static_cast<long long>(v.size()) ? at(k) : 0);
        for (long long k = -d; k <= d; k += 2) {
            long long x = (k == -d || (k != d && at(k - 1) < at(k + 1))) ? at(k + 1) : at(k - 1) + 1;
            long long y = x - k;
            while (x < n && y < m && a[static_cast<size_t>(x)] == b[static_cast<size_t>(y)]) {
                ++x, ++y, ++work;
            }
            at(k) = x;
            if (++work > limit)
                return std::nullopt;
            if (x >= n && y >= m) {
                end = d;
                break;
            }
        }
    }
    // Walked back from the end, so the segments come out last first.
    std::vector<std::pair<ChangeSegment::Kind, char32_t>> steps;
    long long x = n;
    long long y = m;
    for (long long d = end; d >= 0; --d) {
        const std::vector<long long>& kept = rounds[static_cast<size_t>(d)];
        const auto was = [&](long long k) { return kept[static_cast<size_t>(k + d + 1)]; };
        const long long k = x - y;
        const long long prevK = (k == -d || (k != d && was(k - 1) < was(k + 1))) ? k + 1 : k - 1;
        const long long prevX = was(prevK);
        const long long prevY = prevX - prevK;
        while (x > prevX && y > prevY) {
            steps.emplace_back(ChangeSegment::Same, a[static_cast<size_t>(--x)]);
            --y;
        }
        if (d == 0)
            break;
        if (x == prevX)
            steps.emplace_back(ChangeSegment::Added, b[static_cast<size_t>(--y)]);
        else
            steps.emplace_back(ChangeSegment::Removed, a[static_cast<size_t>(--x)]);
        x = prevX;
        y = prevY;
    }
    ChangeSegments out;
    for (auto step = steps.rbegin(); step != steps.rend(); ++step)
        append(out, step->first, QString::fromUcs4(&step->second, 1));
    return out;
}

// A change: what went and what came between two kept stretches.
struct Hunk
{
    QString same; // kept before the change
    QString removed;
    QString added;
};

// Joins changes across a kept stretch no longer than the change on either side, so that "o", "l", "d"
// matched by chance inside "a-much-longer-name" do not cut it into pieces.
ChangeSegments tidied(const ChangeSegments& raw)
{
    std::vector<Hunk> hunks(1);
    for (const ChangeSegment& s : raw) {
        if (s.kind == ChangeSegment::Same) {
            if (!hunks.back().removed.isEmpty() || !hunks.back().added.isEmpty())
                hunks.emplace_back();
            hunks.back().same += s.text;
        } else {
            (s.kind == ChangeSegment::Removed ? hunks.back().removed : hunks.back().added) += s.text;
        }
    }
    // Every hunk but the last has a change; the last may be only the kept end.
    for (size_t i = 1; i < hunks.size();) {
        const Hunk& before = hunks[i - 1];
        const Hunk& after = hunks[i];
        const qsizetype kept = after.same.size();
        const bool afterChanges = !after.removed.isEmpty() || !after.added.isEmpty();
        if (!afterChanges || kept > std::max(before.removed.size(), before.added.size()) ||
            kept > std::max(after.removed.size(), after.added.size())) {
            ++i;
            continue;
        }
        hunks[i - 1] = Hunk{before.same, before.removed + after.same + after.removed,
                            before.added + after.same + after.added};
        hunks.erase(hunks.begin() + static_cast<std::ptrdiff_t>(i));
        i = 1; // a joined change may now swallow the stretch before it
    }
    ChangeSegments out;
    for (const Hunk& h : hunks) {
        append(out, ChangeSegment::Same, h.same);
        append(out, ChangeSegment::Removed, h.removed);
        append(out, ChangeSegment::Added, h.added);
    }
    return out;
}

// Moves a cut that would fall inside a surrogate pair to before it.
qsizetype whole(QStringView text, qsizetype at)
{
    return at > 0 && at < text.size() && text[at].isLowSurrogate() && text[at - 1].isHighSurrogate() ? at - 1
                                                                                                     : at;
}

} // namespace

ChangeSegments changeSegments(QStringView before, QStringView after, qsizetype workLimit)
{
    qsizetype head = 0;
    while (head < before.size() && head < after.size() && before[head] == after[head])
        ++head;
    if (head < before.size() || head < after.size())
        head = std::min(whole(before, head), whole(after, head));
    qsizetype tail = 0;
    while (tail < before.size() - head && tail < after.size() - head &&
           before[before.size() - 1 - tail] == after[after.size() - 1 - tail])
        ++tail;
    // A kept end must not begin with the low half of a pair whose high half changed.
    while (tail > 0 && before[before.size() - tail].isLowSurrogate())
        --tail;
    const QStringView oldMiddle = before.mid(head, before.size() - head - tail);
    const QStringView newMiddle = after.mid(head, after.size() - head - tail);

    ChangeSegments out;
    append(out, ChangeSegment::Same, before.left(head).toString());
    std::optional<ChangeSegments> middle;
    if (oldMiddle.size() + newMiddle.size() <= workLimit && !oldMiddle.isEmpty() && !newMiddle.isEmpty())
        middle = shortestEdit(oldMiddle.toString().toStdU32String(), newMiddle.toString().toStdU32String(),
                              workLimit);
    if (!middle) {
        middle.emplace();
        append(*middle, ChangeSegment::Removed, oldMiddle.toString());
        append(*middle, ChangeSegment::Added, newMiddle.toString());
    }
    for (const ChangeSegment& s : tidied(*middle))
        append(out, s.kind, s.text);
    append(out, ChangeSegment::Same, before.right(tail).toString());
    return out;
}

ChangeSegments sideOfChange(const ChangeSegments& change, ChangeSegment::Kind side, qsizetype context,
                            qsizetype width)
{
    ChangeSegments full;
    bool inChange = false;
    for (const ChangeSegment& s : change) {
        if (s.kind == ChangeSegment::Same) {
            inChange = false;
            full.append(s);
        } else if (!inChange) {
            inChange = true;
            full.append({side, s.kind == side ? s.text : QString()});
        } else if (s.kind == side) {
            full.last().text += s.text;
        }
    }
    // The window on the value: from a little before the first change, as far as the width goes.
    const qsizetype firstChange =
        full.size() > 1 && full.first().kind == ChangeSegment::Same ? full.first().text.size() : 0;
    qsizetype skip = std::max<qsizetype>(0, firstChange - std::max<qsizetype>(0, context));
    qsizetype room = std::max<qsizetype>(0, width);
    ChangeSegments out;
    if (skip > 0) {
        skip = whole(full.first().text, skip);
        out.append({ChangeSegment::Same, Cut});
    }
    bool cutEnd = false;
    for (const ChangeSegment& s : std::as_const(full)) {
        const qsizetype from = std::min(skip, s.text.size());
        skip -= from;
        QStringView rest = QStringView(s.text).mid(from);
        if (rest.isEmpty() && !(s.kind != ChangeSegment::Same && s.text.isEmpty()))
            continue;
        if (room == 0 && !rest.isEmpty()) {
            cutEnd = true;
            break;
        }
        if (rest.size() > room) {
            rest = rest.left(whole(rest, room));
            cutEnd = true;
        }
        room -= rest.size();
        if (!out.isEmpty() && out.last().kind == s.kind && s.kind == ChangeSegment::Same)
            out.last().text += rest;
        else
            out.append({s.kind, rest.toString()});
        if (cutEnd)
            break;
    }
    if (cutEnd)
        append(out, ChangeSegment::Same, Cut);
    return out;
}

QString markedText(const ChangeSegments& side)
{
    QString text;
    for (const ChangeSegment& s : side)
        text += s.kind == ChangeSegment::Same ? s.text : u'\u00AB' + s.text + u'\u00BB';
    return text;
}

QString changeText(const ChangeSegments& change)
{
    QString text;
    for (const ChangeSegment& s : change)
        text += s.kind == ChangeSegment::Same      ? s.text
                : s.kind == ChangeSegment::Removed ? QStringLiteral("[-") + s.text + QStringLiteral("-]")
                                                   : QStringLiteral("{+") + s.text + QStringLiteral("+}");
    return text;
}

} // namespace quarvel::engine
