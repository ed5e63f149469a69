#include "core/antenna/AntennaLink.h"

#include "core/base/Unshared.h"
#include "core/net/DatagramText.h"

#include <QMutexLocker>

void AntennaLink::IdUDPServerAntUDPRead(const QByteArray& data)
{
    const QString text = datagramText(data);

    if (text.size() >= 4 && text.startsWith(QLatin1String("###"))) {
        const QString identity = text.mid(3);
        const QString folded = identity.toCaseFolded();
        QMutexLocker locker(&m_lock);
        if (m_SAsignFolded.contains(folded))
            return;
        if (m_SAsign.size() >= kMaxSignOns || m_SAsignChars + identity.size() > kMaxSignOnChars)
            return;
        m_SAsign.append(identity);
        m_SAsignFolded.insert(folded);
        m_SAsignChars += identity.size();
        return;
    }

    if (text.size() == 4 && text.startsWith(QLatin1Char('@'))) {
        if (text == QLatin1String("@SUC"))
            btn_add.store(1);
        else if (text == QLatin1String("@ERR"))
            btn_add.store(2);
        return;
    }

    const QString folded = text.toCaseFolded();
    QMutexLocker locker(&m_lock);
    if (m_SAantFolded.contains(folded) || m_SAant_Folded.contains(folded))
        return;
    const bool isLong = text.size() > kLongText;
    if (m_SAant.size() >= kMaxQueued || (isLong && m_SAantChars + text.size() > kMaxQueuedChars))
        return;
    m_SAant.append(text);
    m_SAantFolded.insert(folded);
    if (isLong)
        m_SAantChars += text.size();
}

QStringList AntennaLink::takeBatch()
{
    // The replaced previous batch is freed after the lock is released (locals are destroyed after
    // the locker), so the listener never waits for thousands of strings to be deallocated.
    QStringList batch;
    QStringList replaced;
    QSet<QString> replacedFolded;
    QMutexLocker locker(&m_lock);
    batch.swap(m_SAant);
    replaced.swap(m_SAant_);
    replacedFolded.swap(m_SAant_Folded);
    m_SAant_ = batch;
    m_SAant_Folded.swap(m_SAantFolded);
    m_SAantChars = 0;
    return batch;
}

QStringList AntennaLink::takeSignOns()
{
    QStringList signOns;
    QSet<QString> folded;
    QMutexLocker locker(&m_lock);
    signOns.swap(m_SAsign);
    folded.swap(m_SAsignFolded);
    m_SAsignChars = 0;
    return signOns;
}

QStringList AntennaLink::SAsign() const
{
    QMutexLocker locker(&m_lock);
    return unsharedCopy(m_SAsign);
}

QStringList AntennaLink::SAant() const
{
    QMutexLocker locker(&m_lock);
    return unsharedCopy(m_SAant);
}

QStringList AntennaLink::SAant_() const
{
    QMutexLocker locker(&m_lock);
    return unsharedCopy(m_SAant_);
}
