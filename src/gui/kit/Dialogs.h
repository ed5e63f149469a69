#pragma once

#include <QObject>
#include <QString>

#include <exception>

class QWidget;

// Every message, question and error box and every file dialog of the program passes through here,
// so that tests answer them instead of a person (in the manner of a "next answer" seam).
class DialogProvider
{
public:
    virtual ~DialogProvider() = default;
    // Title "!", one OK button, no icon.
    virtual void message(QWidget* parent, const QString& text) = 0;
    // OK and Cancel, no icon; true only for OK.
    virtual bool question(QWidget* parent, const QString& text, const QString& title) = 0;
    // The program's title, the error icon, one OK button.
    virtual void error(QWidget* parent, const QString& title, const QString& text) = 0;
    // The save dialog; an empty result means the operator cancelled.
    virtual QString saveFileName(QWidget* parent, const QString& initialPath, const QString& filter,
                                 const QString& defaultSuffix) = 0;
    // Opens a file with the desktop's default application; false when nothing could open it.
    virtual bool openWithDesktop(const QString& path) = 0;
};

namespace Dialogs {

// Qt's own texts (the standard buttons of the boxes, the file dialog) in Russian, from the catalogue
// the Qt installation ships. False when the catalogue is not there; the texts then stay English.
bool installQtTranslations();

// The title a box is given so that an empty one shows as empty: the platform fills a title left
// empty with the program's name.
QString shownTitle(const QString& title);

// nullptr puts the real boxes back.
void setProvider(DialogProvider* provider);
DialogProvider& provider();

void message(QWidget* parent, const QString& text);
bool question(QWidget* parent, const QString& text, const QString& title = QStringLiteral("?"));
// The message with a full stop appended unless it already ends with "." or a character that sorts
// at or below it.
QString errorText(const QString& message);
// At most one error box is open at a time: an error raised while one is open (a failing database
// reports on every tick, and a box runs the event loop) opens no box of its own; it is counted, and
// the count is told to whoever shows it, until the open box closes.
void error(QWidget* parent, const QString& message);

// The errors held back while the open error box is shown.
class HeldErrors : public QObject
{
    Q_OBJECT
public:
    static HeldErrors& instance();
    bool boxOpen() const { return m_boxOpen; }
    int count() const { return m_count; }
    // The status bar's text for a count; empty for none.
    static QString text(int count);

signals:
    // After every change: one more error held, or 0 when the box has closed.
    void countChanged(int count);

private:
    friend void error(QWidget* parent, const QString& message);
    bool m_boxOpen = false;
    int m_count = 0;
};

// Shows the error box for an error that ended an operation.
void showException(QWidget* parent, const std::exception& e);

// The wait cursor for as long as the operator must wait on the program.
class WaitCursor
{
public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// Runs one operation on behalf of the operator: an error ends it and is shown; the program carries on.
template <typename F> bool guard(QWidget* parent, F&& operation)
{
    try {
        operation();
        return true;
    } catch (const std::exception& e) {
        showException(parent, e);
        return false;
    }
}

} // namespace Dialogs
