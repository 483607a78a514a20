#pragma once
// The error report that every window procedure carries. A procedure names its location and runs
// numbered steps; a step that throws shows the report with its number and the procedure goes on with
// the next step. A failing test or loop head goes on inside it, as if it had passed.
//
//     Procedure p(prompts, "Form2.PushButton13_Click");
//     if (p.test(100, [&] { return find.selected() >= 0; }))
//         p.step(102, [&] { find.removeAt(find.selected()); });

#include "core/Prompts.h"

#include <QString>

#include <exception>
#include <utility>

namespace quarvel {

// "<description>\r\nin Morvane2021/08/31.<location> at line <n>\r\n\r\nPlease email screenshot of this
// message to <address>"
QString errorReportText(const QString& description, const QString& location, int line);

// The text a failure shows: the exception's own message, or a generic one for foreign throws.
QString describeFailure(const std::exception_ptr& failure);

class Procedure
{
public:
    Procedure(Prompts& prompts, QString location) : m_prompts(prompts), m_location(std::move(location)) {}

    // Runs one step. True when it finished, false when it failed and was reported.
    template <class F> bool step(int line, F&& body)
    {
        try {
            std::forward<F>(body)();
            return true;
        } catch (...) {
            report(line, std::current_exception());
            return false;
        }
    }

    // A test: its answer, or true when evaluating it failed (the procedure goes on inside it).
    template <class F> bool test(int line, F&& condition)
    {
        try {
            return static_cast<bool>(std::forward<F>(condition)());
        } catch (...) {
            report(line, std::current_exception());
            return true;
        }
    }

    // A step that yields a value, with the value to go on with when it fails.
    template <class T, class F> T value(int line, T onFailure, F&& body)
    {
        try {
            return std::forward<F>(body)();
        } catch (...) {
            report(line, std::current_exception());
            return onFailure;
        }
    }

    // The head of a counted loop: its count, or 1 when reading the count failed, so that the body is
    // entered once, as after any failing loop head.
    template <class F> int loopCount(int line, F&& count)
    {
        return value<int>(line, 1, std::forward<F>(count));
    }

    void report(int line, const std::exception_ptr& failure);
    void report(int line, const QString& description);

    const QString& location() const { return m_location; }
    Prompts& prompts() const { return m_prompts; }
    int failures() const { return m_failures; }

private:
    Prompts& m_prompts;
    QString m_location;
    int m_failures = 0;
};

} // namespace quarvel
