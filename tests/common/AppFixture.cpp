#include "AppFixture.h"

#include "app/Forms.h"
#include "app/Windows.h"
#include "core/base/Clock.h"
#include "core/net/UdpSender.h"
#include "core/settings/AppState.h"
#include "gui/journal/TMF.h"

AppFixture::AppFixture() : m_now(QDate(2017, 12, 3), QTime(14, 5, 9))
{
    App::setExePathOverride(exePath());
    Clock::setNowOverride([this] { return m_now; });
    // The beacon and the add commands go to this machine only.
    UdpSender::setBroadcastAddressForTests(QHostAddress(QHostAddress::LocalHost));
}

AppFixture::~AppFixture()
{
    destroy();
    Clock::setNowOverride({});
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
    m_now = now;
}
