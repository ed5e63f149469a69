#include "gui/kit/Dialogs.h"

#include "core/base/AppError.h"
#include "core/settings/AppState.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>
#include <QUrl>

#include <memory>

namespace {

class RealDialogs final : public DialogProvider
{
public:
    void message(QWidget* parent, const QString& text) override
    {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("!"), text, QMessageBox::Ok, parent);
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
    }

    bool question(QWidget* parent, const QString& text, const QString& title) override
    {
        QMessageBox box(QMessageBox::NoIcon, Dialogs::shownTitle(title), text,
                        QMessageBox::Ok | QMessageBox::Cancel, parent);
        box.setWindowModality(Qt::ApplicationModal);
        box.setDefaultButton(QMessageBox::Ok);
        return box.exec() == QMessageBox::Ok;
    }

    void error(QWidget* parent, const QString& title, const QString& text) override
    {
        QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
    }

    QString saveFileName(QWidget* parent, const QString& initialPath, const QString& filter,
                         const QString& defaultSuffix) override
    {
        QFileDialog dialog(parent, QString(), initialPath, filter);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(defaultSuffix);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
        dialog.selectFile(initialPath);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().constFirst();
    }

    bool openWithDesktop(const QString& path) override
    {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    }
};

RealDialogs& realDialogs()
{
    static RealDialogs real;
    return real;
}

DialogProvider*& current()
{
    static DialogProvider* p = nullptr;
    return p;
}

QWidget* ownerFor(QWidget* parent)
{
    if (parent)
        return parent;
    return QApplication::activeWindow();
}

} // namespace

namespace Dialogs {

bool installQtTranslations()
{
    static QTranslator* installed = nullptr;
    if (installed)
        return true;
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                          QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    // Lives as long as the program: the application only refers to it.
    installed = translator.release();
    QCoreApplication::installTranslator(installed);
    return true;
}

QString shownTitle(const QString& title)
{
    // A single blank is a title of its own, and shows as none.
    return title.isEmpty() ? QStringLiteral(" ") : title;
}

WaitCursor::WaitCursor()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

WaitCursor::~WaitCursor()
{
    QApplication::restoreOverrideCursor();
}

void setProvider(DialogProvider* provider)
{
    current() = provider;
}

DialogProvider& provider()
{
    DialogProvider* p = current();
    return p ? *p : realDialogs();
}

void message(QWidget* parent, const QString& text)
{
    provider().message(ownerFor(parent), text);
}

bool question(QWidget* parent, const QString& text, const QString& title)
{
    return provider().question(ownerFor(parent), text, title);
}

QString errorText(const QString& message)
{
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + u'.';
    return message;
}

HeldErrors& HeldErrors::instance()
{
    static HeldErrors held;
    return held;
}

QString HeldErrors::text(int count)
{
    return count > 0 ? QStringLiteral("Ошибок, пока открыто сообщение: %1").arg(count) : QString();
}

void error(QWidget* parent, const QString& message)
{
    HeldErrors& held = HeldErrors::instance();
    if (held.m_boxOpen) {
        ++held.m_count;
        emit held.countChanged(held.m_count);
        return;
    }
    // Closed again however the box ends, a throwing provider included.
    struct Open
    {
        HeldErrors& held;
        explicit Open(HeldErrors& h) : held(h) { held.m_boxOpen = true; }
        ~Open()
        {
            held.m_boxOpen = false;
            if (held.m_count != 0) {
                held.m_count = 0;
                emit held.countChanged(0);
            }
        }
    } open(held);
    provider().error(ownerFor(parent), App::programTitle(), errorText(message));
}

void showException(QWidget* parent, const std::exception& e)
{
    if (const auto* appError = dynamic_cast<const AppError*>(&e))
        error(parent, appError->message());
    else
        error(parent, QString::fromLocal8Bit(e.what()));
}

} // namespace Dialogs
