#include "board/BoardSettings.h"

#include "core/settings/IniFile.h"
#include "core/settings/SettingsSection.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <algorithm>

namespace {

using V = BoardSettings;
using K = SettingsSection<V>;

const QString kDescription = QStringLiteral("Описание секции");

const K& serverSection()
{
    static const K section(
        QStringLiteral("Server"),
        {K::comment(kDescription, QStringLiteral("Связь с сервером")),
         K::comment(QStringLiteral("Address"),
                    QStringLiteral("IPv4-адрес сервера. Пусто - сервер ищется "
                                   "широковещательным приветствием в локальной сети.")),
         K::comment(QStringLiteral("ToPort"),
                    QStringLiteral("номер UDP-порта сервера, в который табло посылает приветствие")),
         K::comment(QStringLiteral("FromPort"),
                    QStringLiteral("номер UDP-порта, на который сервер посылает сигналы и извещения")),
         K::comment(QStringLiteral("FromPing"), QStringLiteral("приветствие от табло серверу")),
         K::comment(QStringLiteral("ToPing"), QStringLiteral("пингующая строка от сервера табло")),
         K::text(QStringLiteral("Address"), &V::Address),
         K::integer(QStringLiteral("ToPort"), &V::ToPort).asLowBitsPort(),
         K::integer(QStringLiteral("FromPort"), &V::FromPort).asLowBitsPort(),
         K::text(QStringLiteral("FromPing"), &V::FromPing), K::text(QStringLiteral("ToPing"), &V::ToPing)});
    return section;
}

const K& boardSection()
{
    const QString label = QStringLiteral("Надпись: ");
    const QString message = QStringLiteral("Сообщение: ");
    static const K section(
        QStringLiteral("Board"),
        {K::comment(kDescription, QStringLiteral("Табло вызовов")),
         K::comment(QStringLiteral("Caption"), label + QStringLiteral("заголовок окна")),
         K::comment(QStringLiteral("WarnTime"),
                    QStringLiteral("секунд ожидания, после которых плитка вызова становится жёлтой")),
         K::comment(QStringLiteral("AlarmTime"),
                    QStringLiteral("секунд ожидания, после которых плитка вызова "
                                   "становится красной и звучит сигнал")),
         K::comment(
             QStringLiteral("Sound"),
             QStringLiteral("звуковой сигнал при новом вызове и при тревоге: 1 - включен, 0 - выключен")),
         K::comment(QStringLiteral("MaxTiles"),
                    QStringLiteral("наибольшее число плиток на табло (до 1000); при "
                                   "переполнении закрывается самая старая")),
         K::comment(QStringLiteral("log_r8"), label + QStringLiteral("тип вызова 8")),
         K::comment(QStringLiteral("log_r4"), label + QStringLiteral("тип вызова 4")),
         K::comment(QStringLiteral("log_rb"), label + QStringLiteral("тип вызова b (кнопка КБ)")),
         K::comment(QStringLiteral("placeText"),
                    label + QStringLiteral("на плитке места, которое указал оператор")),
         K::comment(QStringLiteral("lostText"), message + QStringLiteral("нет сигналов от сервера")),
         K::comment(QStringLiteral("lastPingText"),
                    message + QStringLiteral("перед временем последнего сигнала "
                                             "сервера")),
         K::comment(QStringLiteral("noPingText"), message + QStringLiteral("сервер ещё не отвечал")),
         K::comment(QStringLiteral("staleText"), label + QStringLiteral("на плитке, показанной без связи с "
                                                                        "сервером")),
         K::comment(QStringLiteral("emptyText"), label + QStringLiteral("открытых вызовов нет")),
         K::comment(QStringLiteral("moreText"), label + QStringLiteral("перед числом вызовов, которые не "
                                                                       "поместились")),
         K::text(QStringLiteral("Caption"), &V::Caption),
         K::integer(QStringLiteral("WarnTime"), &V::WarnTime),
         K::integer(QStringLiteral("AlarmTime"), &V::AlarmTime),
         K::integer(QStringLiteral("Sound"), &V::Sound),
         K::integer(QStringLiteral("MaxTiles"), &V::MaxTiles),
         K::text(QStringLiteral("log_r8"), &V::log_r8),
         K::text(QStringLiteral("log_r4"), &V::log_r4),
         K::text(QStringLiteral("log_rb"), &V::log_rb),
         K::text(QStringLiteral("placeText"), &V::placeText),
         K::text(QStringLiteral("lostText"), &V::lostText),
         K::text(QStringLiteral("lastPingText"), &V::lastPingText),
         K::text(QStringLiteral("noPingText"), &V::noPingText),
         K::text(QStringLiteral("staleText"), &V::staleText),
         K::text(QStringLiteral("emptyText"), &V::emptyText),
         K::text(QStringLiteral("moreText"), &V::moreText)});
    return section;
}

QList<const K*> sections()
{
    return {&serverSection(), &boardSection()};
}

} // namespace

QString BoardSettings::typeLabel(const QString& function) const
{
    if (function == QLatin1String("8"))
        return log_r8;
    if (function == QLatin1String("4"))
        return log_r4;
    if (function == QLatin1String("b"))
        return log_rb;
    return QString();
}

qint64 BoardSettings::warnMs() const
{
    return qint64(std::max<qint32>(WarnTime, 1)) * 1000;
}

qint64 BoardSettings::alarmMs() const
{
    return std::max(qint64(std::max<qint32>(AlarmTime, 1)) * 1000, warnMs());
}

qsizetype BoardSettings::maxTiles() const
{
    return std::clamp<qint32>(MaxTiles, 1, 1000);
}

QString BoardSettingsFile::path(const QString& exePath)
{
    return IniFile::pathBesideExecutable(exePath);
}

void BoardSettingsFile::writeFirstStart(IniFile& ini)
{
    for (const K* section : sections())
        section->writeStart(ini, true);
}

BoardSettings BoardSettingsFile::read(const IniFile& ini)
{
    BoardSettings s;
    for (const K* section : sections())
        section->readInto(ini, s);
    return s;
}

QStringList BoardSettingsFile::keys()
{
    QStringList list;
    for (const K* section : sections()) {
        for (const SettingsKey& k : section->table().keys()) {
            if (k.kind != SettingsKey::Kind::Comment)
                list << section->section() + QLatin1Char('/') + k.key;
        }
    }
    return list;
}

QHostAddress serverAddressFromText(const QString& text, bool* ok)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        *ok = true;
        return QHostAddress();
    }
    QHostAddress address;
    *ok = address.setAddress(trimmed) && address.protocol() == QAbstractSocket::IPv4Protocol;
    return *ok ? address : QHostAddress();
}

QString boardUsage()
{
    return QStringLiteral(
        "Запуск: HalvaneBoard [--server АДРЕС] [--window]\n"
        "\n"
        "Табло вызовов отделения: показывает каждый вызов, пока сервер не получит его отмену.\n"
        "  --server АДРЕС  IPv4-адрес сервера; без него сервер ищется широковещательно\n"
        "  --window        в окне, а не на весь экран (F11 переключает)\n"
        "  --help          эта справка\n"
        "Настройки лежат рядом с программой в HalvaneBoard.ini. Табло показывается на экране: ему нужен\n"
        "дисплей (графический сеанс).\n");
}

BoardOptions parseBoardArguments(const QStringList& arguments)
{
    BoardOptions options;
    QCommandLineParser parser;
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("IPv4-адрес сервера"),
                                    QStringLiteral("ADDRESS"));
    const QCommandLineOption window(QStringLiteral("window"), QStringLiteral("показать табло в окне"));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("справка"));
    parser.addOption(server);
    parser.addOption(window);
    parser.addOption(help);
    if (!parser.parse(arguments)) {
        // Qt's own texts are English; the person at the station reads Russian.
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty())
            options.error = QStringLiteral("Неизвестный параметр: ") +
                            (unknown.first().size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) +
                            unknown.first();
        else if (parser.errorText().contains(QLatin1String("Missing value")))
            options.error = QStringLiteral("Не указан адрес после --server");
        else
            options.error = QStringLiteral("Неверная командная строка: ") + arguments.mid(1).join(u' ');
        return options;
    }
    if (parser.isSet(help)) {
        options.help = true;
        return options;
    }
    if (!parser.positionalArguments().isEmpty()) {
        options.error = QStringLiteral("Лишний аргумент: ") + parser.positionalArguments().first();
        return options;
    }
    options.windowed = parser.isSet(window);
    if (parser.isSet(server)) {
        options.server = parser.value(server).trimmed();
        bool ok = false;
        serverAddressFromText(options.server, &ok);
        if (!ok || options.server.isEmpty())
            options.error = QStringLiteral("Неверный адрес сервера: ") + parser.value(server);
    }
    return options;
}
