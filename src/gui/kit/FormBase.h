#pragma once

#include "core/settings/IniFile.h"
#include "core/settings/SettingsTable.h"
#include "gui/kit/WindowGeometry.h"

#include <QDialog>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <functional>
#include <utility>

// What every secondary window does alike: its settings section, caption and geometry, the
// first-start comment keys and defaults, the minimum size, saving on close, and the Escape/Enter
// assignment of its editors. A window is created once at start and only hidden when closed.
class FormBase : public QDialog
{
    Q_OBJECT
public:
    // designClient is the design client area; the outer design size adds a window frame to it.
    FormBase(const QString& section, const QString& designCaption, QSize designClient, QSize minimumOuter,
             QWidget* parent = nullptr);
    // The section, design caption and design client area taken from the table that describes it.
    FormBase(SettingsTable table, QSize minimumOuter, QWidget* parent = nullptr);

    // Creation: on a first start the comment keys and the defaults, then the reading of the section.
    void FormCreate();

    // The window's section as one table: InitComm writes its comment keys, InitDef its keys.
    virtual void InitComm();
    virtual void InitDef();
    virtual void InitForm();
    virtual void InitSave();
    virtual void FormShow() {}
    virtual void FormClose() { InitSave(); }

    const QString& section() const { return m_section; }
    QSize minimumOuterSize() const { return m_minimumOuter; }
    // Position and outer size, as written to Top, Left, Height and Width.
    QRect outerGeometry() const;
    void setOuterGeometry(const QRect& rect);

    // Shows a hidden window (its show handler runs) or brings a shown one to the front.
    void showOrRaise();
    // The window a first show is centred over when no window is active yet (a window shown at start).
    void setFallbackOpener(QWidget* opener) { m_fallbackOpener = opener; }

    // The frame a design size is measured with, when no real frame is known yet.
    static QSize designFrame() { return WindowGeometry::designFrame(); }

protected:
    // The table that describes the window's section, given to the constructor.
    const SettingsTable& settingsTable() const { return m_table; }
    // A key's design text from the table, the one a first start writes.
    QString designText(const QString& key) const { return m_table.designOf(key).toString(); }
    // Every key of the section read with its default.
    SectionValues readSection() const;
    // Caption, Top, Left, Height and Width from values read.
    void applyCaptionAndGeometry(const SectionValues& values);

    IniFile ini() const;
    void writeComm(const QString& key, const QString& text);
    void writeText(const QString& key, const QString& value);
    void writeInt(const QString& key, qint32 value);
    QString readText(const QString& key, const QString& def) const;
    qint32 readInt(const QString& key, qint32 def) const;

    // Caption, Top, Left, Height, Width with their design values (InitDef) or read with the current
    // values as defaults (InitForm).
    void writeCaptionAndGeometry();
    void readCaptionAndGeometry();
    // Top, Left and, unless the window keeps a fixed size, Height and Width.
    void saveGeometry(bool withSize = true);

    // Escape and Enter pressed while one of these controls has the focus.
    void bindEscapeEnter(const QList<QWidget*>& controls, std::function<void()> onEscape,
                         std::function<void()> onEnter);

    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyMinimumSize();

    QString m_section;
    SettingsTable m_table{QString(), {}};
    QString m_designCaption;
    QSize m_designClient;
    QSize m_minimumOuter;
    bool m_placeOnFirstShow = false;
    QWidget* m_fallbackOpener = nullptr;
    QList<QWidget*> m_keyControls;
    std::function<void()> m_onEscape;
    std::function<void()> m_onEnter;
};
