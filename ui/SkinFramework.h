#pragma once
// The skin framework of the Connection window (`SkinFramework1`) and the skin step (`ApplySkin`).
//
// A skin file ("x\o.cjs" in the program folder) is a Qt style sheet in UTF-8. The framework keeps the
// classic call sequence: load the skin with its path and a schema name (always empty: a file holds one
// schema), read the option flags, set bit 0, write them back, set the two boolean properties, apply
// the skin to the window.

#include "core/SkinFile.h"

#include <QPointer>
#include <QString>

class QWidget;

namespace quarvel::ui {

using SkinError = skin::SkinError;

class SkinFramework
{
public:
    // Option flags (property 1).
    enum Option : int {
        ApplyStyle = 0x1, // apply() puts the skin on the window; without it apply() leaves it alone
    };

    // Load operation (2). Reads and checks the skin file; throws SkinError when it cannot be read, is
    // not UTF-8 text, holds a NUL character, or its braces, comments or quoted strings do not close.
    // A non-empty schema name is refused the same way. A failed load leaves the previous skin loaded.
    void loadSkin(const QString& path, const QString& schema);
    bool isLoaded() const { return m_loaded; }
    const QString& styleSheet() const { return m_styleSheet; }

    int applyOptions() const { return m_options; }
    void setApplyOptions(int options) { m_options = options; }

    // Property 5: the window keeps its size after the skin is applied (a style sheet changes size
    // hints; the windows are laid out for a fixed size).
    bool keepWindowSize() const { return m_keepWindowSize; }
    void setKeepWindowSize(bool keep) { m_keepWindowSize = keep; }

    // Property 10: apply() re-polishes and repaints the window and its controls at once instead of at
    // their next paint.
    bool repaintNow() const { return m_repaintNow; }
    void setRepaintNow(bool repaint) { m_repaintNow = repaint; }

    // Apply operation (3): draws the window and its controls in the loaded skin. Throws SkinError when
    // no skin is loaded.
    void applyWindow(QWidget* window);
    QWidget* appliedWindow() const { return m_window; }

private:
    QString m_styleSheet;
    bool m_loaded = false;
    int m_options = 0;
    bool m_keepWindowSize = false;
    bool m_repaintNow = false;
    QPointer<QWidget> m_window;
};

// The skin step of the Connection window. When the skin file ("\x\o.cjs" in the side-file folder) is
// listed as a plain file, the window and its option buttons, check boxes, frames and labels take the
// button face colour and the skin is loaded and applied through the framework; otherwise nothing
// happens. Failures (SkinError) go to the caller's error report.
void ApplySkin(QWidget& connectionWindow, SkinFramework& skinFramework);

// True when the folder listing for plain files finds the path: an existing file, not a folder, not a
// hidden file.
bool listedAsPlainFile(const QString& path);

} // namespace quarvel::ui
