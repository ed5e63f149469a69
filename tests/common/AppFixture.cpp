#include "AppFixture.h"

#include "app/Forms.h"
#include "app/Windows.h"
#include "core/base/Clock.h"
#include "core/net/UdpSender.h"
#include "core/settings/AppState.h"
#include "gui/journal/TMF.h"

AppFixture::AppFixture() : m_now(QDate(2017, 12, 3), QTime(14, 5, 9)), m_elapsedMs(m_now.toMSecsSinceEpoch())
{
    App::setExePathOverride(exePath());
    Clock::setNowOverride([this] { return m_now; });
    Clock::setElapsedOverride([this] { return m_elapsedMs; });
    // The beacon and the add commands go to this machine only.
    UdpSender::setBroadcastAddressForTests(QHostAddress(QHostAddress::LocalHost));
}

AppFixture::~AppFixture()
{
    destroy();
    Clock::setNowOverride({});
    Clock::setElapsedOverride({});
    UdpSender::setBroadcastAddressForTests(QHostAddress());
    App::setExePathOverride(QString());
}

void AppFixture::create()
{
    createWindows();
    m_created = true;
}

bool AppFixture::show()
{
    TMF* main = mf();
    main->show();
    return main->FormShow();
}

void AppFixture::destroy()
{
    if (m_created) {
        destroyWindows();
        m_created = false;
    }
}

TMF* AppFixture::mf() const
{
    return forms().MF;
}

void AppFixture::setNow(const QDateTime& now)
{
    m_elapsedMs += qMax<qint64>(0, m_now.msecsTo(now));
    m_now = now;
}
