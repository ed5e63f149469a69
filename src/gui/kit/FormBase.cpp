#include "gui/kit/FormBase.h"

#include "core/settings/AppState.h"
#include "gui/kit/Dialogs.h"
#include "gui/kit/WindowGeometry.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QShowEvent>

FormBase::FormBase(const QString& section, const QString& designCaption, QSize designClient,
                   QSize minimumOuter, QWidget* parent)
    : QDialog(parent), m_section(section), m_designCaption(designCaption), m_designClient(designClient),
      m_minimumOuter(minimumOuter)
{
    setWindowTitle(designCaption);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setSizeGripEnabled(false);
    resize(designClient);
    applyMinimumSize();
}

FormBase::FormBase(SettingsTable table, QSize minimumOuter, QWidget* parent)
    : FormBase(table.section(), table.designCaption(), table.designClient(), minimumOuter, parent)
{
    m_table = std::move(table);
}

void FormBase::FormCreate()
{
    if (App::firstStart()) {
        InitComm();
        InitDef();
    }
    // The keys added to the section since it was first written, on the first start after the update.
    IniFile file = ini();
    m_table.writeAddedLater(file);
    InitForm();
}

void FormBase::InitComm()
{
    IniFile file = ini();
    m_table.writeComments(file);
}

void FormBase::InitDef()
{
    if (m_table.keys().isEmpty()) {
        writeCaptionAndGeometry();
        return;
    }
    IniFile file = ini();
    m_table.writeDefaults(file);
}

SectionValues FormBase::readSection() const
{
    return m_table.read(ini());
}

void FormBase::applyCaptionAndGeometry(const SectionValues& values)
{
    setWindowTitle(values.text(QStringLiteral("Caption")));
    const int left = values.integer(QStringLiteral("Left"));
    const int top = values.integer(QStringLiteral("Top"));
    // Still at its design position, the window is placed where the operator looks when first shown.
    m_placeOnFirstShow = QPoint(left, top) == outerGeometry().topLeft();
    WindowGeometry::applyStored(*this, left, top, values.integer(QStringLiteral("Width")),
                                values.integer(QStringLiteral("Height")));
}

void FormBase::InitForm()
{
    readCaptionAndGeometry();
}

void FormBase::InitSave()
{
    saveGeometry();
}

IniFile FormBase::ini() const
{
    return App::settings();
}

void FormBase::writeComm(const QString& key, const QString& text)
{
    ini().writeString(m_section, u';' + key, text);
}

void FormBase::writeText(const QString& key, const QString& value)
{
    ini().writeString(m_section, key, value);
}

void FormBase::writeInt(const QString& key, qint32 value)
{
    ini().writeInteger(m_section, key, value);
}

QString FormBase::readText(const QString& key, const QString& def) const
{
    return ini().readString(m_section, key, def);
}

qint32 FormBase::readInt(const QString& key, qint32 def) const
{
    return ini().readInteger(m_section, key, def);
}

QRect FormBase::outerGeometry() const
{
    return WindowGeometry::outer(*this);
}

void FormBase::setOuterGeometry(const QRect& rect)
{
    WindowGeometry::setOuter(*this, rect);
}

void FormBase::writeCaptionAndGeometry()
{
    IniFile file = ini();
    // The design size, also where the minimum is larger: the minimum only limits resizing.
    const QRect r(outerGeometry().topLeft(), m_designClient + designFrame());
    file.writeString(m_section, QStringLiteral("Caption"), windowTitle());
    file.writeInteger(m_section, QStringLiteral("Top"), r.top());
    file.writeInteger(m_section, QStringLiteral("Left"), r.left());
    file.writeInteger(m_section, QStringLiteral("Height"), r.height());
    file.writeInteger(m_section, QStringLiteral("Width"), r.width());
}

void FormBase::readCaptionAndGeometry()
{
    const IniFile file = ini();
    setWindowTitle(file.readString(m_section, QStringLiteral("Caption"), windowTitle()));
    const QRect r = outerGeometry();
    const int top = file.readInteger(m_section, QStringLiteral("Top"), r.top());
    const int left = file.readInteger(m_section, QStringLiteral("Left"), r.left());
    const int height = file.readInteger(m_section, QStringLiteral("Height"), r.height());
    const int width = file.readInteger(m_section, QStringLiteral("Width"), r.width());
    // Still at its design position, the window is placed where the operator looks when first shown.
    m_placeOnFirstShow = QPoint(left, top) == r.topLeft();
    WindowGeometry::applyStored(*this, left, top, width, height);
}

void FormBase::saveGeometry(bool withSize)
{
    IniFile file = ini();
    const QRect r = outerGeometry();
    file.writeInteger(m_section, QStringLiteral("Top"), r.top());
    file.writeInteger(m_section, QStringLiteral("Left"), r.left());
    if (withSize) {
        file.writeInteger(m_section, QStringLiteral("Height"), r.height());
        file.writeInteger(m_section, QStringLiteral("Width"), r.width());
    }
}

void FormBase::showOrRaise()
{
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    show();
}

void FormBase::applyMinimumSize()
{
    // The minimum is an outer size; the widget's own minimum counts without the frame.
    WindowGeometry::setMinimumOuter(*this, m_minimumOuter);
}

void FormBase::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    if (m_placeOnFirstShow) {
        // Over the window it was opened from, rather than at the screen's corner over the main
        // window's menu; from then on where the operator leaves it.
        m_placeOnFirstShow = false;
        QWidget* opener = QApplication::activeWindow();
        if (!opener || opener == this)
            opener = m_fallbackOpener;
        if (opener && opener != this)
            WindowGeometry::centreOver(*this, *opener);
    }
    FormShow();
}

void FormBase::closeEvent(QCloseEvent* event)
{
    // A settings file that cannot be written is reported; the window closes all the same.
    Dialogs::guard(this, [this] { FormClose(); });
    QDialog::closeEvent(event);
}

void FormBase::keyPressEvent(QKeyEvent* event)
{
    // Escape and Enter act only where a window binds them; they never close a window by themselves.
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void FormBase::bindEscapeEnter(const QList<QWidget*>& controls, std::function<void()> onEscape,
                               std::function<void()> onEnter)
{
    m_keyControls = controls;
    m_onEscape = std::move(onEscape);
    m_onEnter = std::move(onEnter);
    for (QWidget* control : controls)
        control->installEventFilter(this);
}

bool FormBase::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress && m_keyControls.contains(qobject_cast<QWidget*>(watched))) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape && m_onEscape) {
            m_onEscape();
            return true;
        }
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && m_onEnter) {
            m_onEnter();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
